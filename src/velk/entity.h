// The entity kinds with their token prefixes and display names, and the entity record.
#ifndef VELK_ENTITY_H_
#define VELK_ENTITY_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velk {

// Numeric values are part of the Python surface (int(kind), comparison with integers).
enum class EntityType : std::uint8_t {
  Person = 0,
  Place = 1,
  Org = 2,
  Project = 3,
  Email = 4,
  Phone = 5,
  Url = 6,
  Handle = 7,
  Secret = 8,
  IpAddress = 9,
};

inline constexpr std::size_t kEntityTypeCount = 10;

inline constexpr std::array<EntityType, kEntityTypeCount> kAllEntityTypes = {
    EntityType::Person, EntityType::Place,  EntityType::Org,    EntityType::Project,
    EntityType::Email,  EntityType::Phone,  EntityType::Url,    EntityType::Handle,
    EntityType::Secret, EntityType::IpAddress};

// The capital letters in placeholder tokens such as [PERSON_1].
std::string_view token_prefix(EntityType type);

// The kind's own name, as used in text representations ("Person" ... "IpAddress").
std::string_view display_name(EntityType type);

constexpr int numeric_value(EntityType type) { return static_cast<int>(type); }

// SipHash-1-3 with zero keys over the numeric value as 8 little-endian bytes, taken as signed,
// with -1 mapped to -2: the same in every process.
std::int64_t entity_type_hash(EntityType type);

// The text between double quotes with escapes for quotes, backslashes, NUL, tab, CR, LF,
// non-printable characters and grapheme-extending marks (as \u{hex}).
std::string debug_string(std::string_view text);

struct Entity {
  std::string text;
  EntityType entity_type;

  friend bool operator==(const Entity&, const Entity&) = default;
};

// Where a detector found an entity: bytes [start, end) of its input, and the index in that
// detector's list of the entity it stands for (for a repeated text, the one reported first).
struct EntityPlace {
  std::size_t start;
  std::size_t end;
  std::size_t entity;

  friend bool operator==(const EntityPlace&, const EntityPlace&) = default;
};

}  // namespace velk

#endif  // VELK_ENTITY_H_
