// Names and prefixes of the entity kinds.
#include "velk/entity.h"

namespace velk {

namespace {

constexpr std::array<std::string_view, kEntityTypeCount> kPrefixes = {
    "PERSON", "PLACE", "ORG", "PROJECT", "EMAIL", "PHONE", "URL", "HANDLE", "SECRET", "IP"};

constexpr std::array<std::string_view, kEntityTypeCount> kNames = {
    "Person", "Place", "Org", "Project", "Email", "Phone", "Url", "Handle", "Secret", "IpAddress"};

}  // namespace

std::string_view token_prefix(EntityType type) { return kPrefixes[static_cast<std::size_t>(type)]; }

std::string_view display_name(EntityType type) { return kNames[static_cast<std::size_t>(type)]; }

}  // namespace velk
