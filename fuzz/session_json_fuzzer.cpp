// Fuzzes the session reader with raw bytes. Whatever it accepts is JSON, holds valid UTF-8
// only, matches what a general JSON library reads from the same document, and survives a write
// and a second read unchanged. Whatever it refuses gets a short message of one of the two
// documented forms, valid UTF-8 whenever the document was, as Python must turn it into a str.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "velk/session_json.h"

namespace velk::fuzz {
namespace {

bool holds_valid_utf8(const LayeredTable& table) {
  for (const auto& [key, value] : table) {
    if (!is_valid_utf8(key) || !is_valid_utf8(value)) return false;
  }
  return true;
}

// The member `name` of an object, or element `index` of an array.
const nlohmann::json& field(const nlohmann::json& value, const char* name, std::size_t index) {
  return value.is_array() ? value.at(index) : value.at(name);
}

TextTable table_of(const nlohmann::json& value) {
  TextTable table;
  for (const auto& [key, item] : value.items())
    table.insert_or_assign(key, item.get<std::string>());
  return table;
}

// The map nlohmann-json reads from a document that our reader accepted.
TokenMap library_reading(const nlohmann::json& document) {
  const nlohmann::json& token_map = field(document, "tokenMap", 1);
  TokenMap map;
  map.forward = table_of(field(token_map, "forward", 0));
  map.reverse = table_of(field(token_map, "reverse", 1));
  return map;
}

void check_accepted(std::string_view json, const TokenMap& map) {
  check(holds_valid_utf8(map.forward) && holds_valid_utf8(map.reverse),
        "an accepted document gives valid UTF-8 texts only");
  const std::string written = to_session_json(map);
  const SessionResult again = from_session_json(written);
  if (!again.ok()) fail("a written document reads back", written, again.error().message());
  check_equal(describe(map), describe(again.value()), "a written document reads back equal");

  nlohmann::json document;
  try {
    document = nlohmann::json::parse(json);
  } catch (const nlohmann::json::out_of_range& error) {
    // The library refuses numbers whose value overflows a double (error 406); skipped members
    // may hold numbers of any size.
    if (error.id == 406) return;
    fail("an accepted document is JSON", "", error.what());
  } catch (const nlohmann::json::exception& error) {
    fail("an accepted document is JSON", "", error.what());
  }
  check_equal(describe(library_reading(document)), describe(map),
              "the tables read equal those nlohmann-json reads");
}

void check_refused(std::string_view json, const SessionError& error) {
  const std::string message = error.message();
  const bool malformed = message.starts_with("session JSON is malformed: ");
  const bool unsupported = message.starts_with("unsupported session format version ");
  check(malformed != unsupported, "a refusal has one of the two documented messages");
  check(message.size() < 1024, "a refusal message stays short whatever the document");
  if (is_valid_utf8(json)) {
    check(is_valid_utf8(message), "the refusal of a valid UTF-8 document is valid UTF-8");
  }
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  const velk::SessionResult result = velk::from_session_json(json);
  if (result.ok()) {
    velk::fuzz::check_accepted(json, result.value());
  } else {
    velk::fuzz::check_refused(json, result.error());
  }
  return 0;
}
