// Fuzzes the whole pipeline, anonymize_with_custom, with caller entities and existing maps of
// every shape. The result must keep every entry of the caller's map, give every listed entity
// and every custom entity that occurs in the text a token, hand out tokens only through the
// map, substitute exactly as the literal algorithm does, hold valid UTF-8 and survive a
// session round trip.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "velk/pipeline.h"
#include "velk/session_json.h"
#include "velk/literal_substitution.h"
#include "velk/substitution.h"

namespace velk::fuzz {
namespace {

void check_keeps(const LayeredTable& before, const LayeredTable& after, const char* what) {
  for (const auto& [key, value] : before) {
    const auto it = after.find(key);
    if (it == after.end()) fail(what, key, "<missing>");
    check_equal(value, it->second, what);
  }
}

void check_result(std::string_view text, const TokenMap* existing,
                  const std::vector<Entity>& custom, const AnonymizeResult& result) {
  const TokenMap& map = *result.token_map;
  check(result.entity_count == result.entities.size(), "entity_count counts the entities");
  check(is_valid_utf8(result.text), "the anonymized text is valid UTF-8");
  if (existing) {
    check_keeps(existing->forward, map.forward, "the caller's forward entries are kept");
    check_keeps(existing->reverse, map.reverse, "the caller's reverse entries are kept");
  }
  for (const Entity& entity : result.entities) {
    check(is_valid_utf8(entity.text), "entity texts are valid UTF-8");
    if (!map.forward.contains(entity.text)) {
      fail("every listed entity has a token", entity.text, describe(map));
    }
  }
  const std::string text_lower = to_lower(text);
  for (const Entity& entity : custom) {
    if (text_lower.find(to_lower(entity.text)) == std::string::npos) continue;
    if (!map.forward.contains(entity.text)) {
      fail("a custom entity that occurs in the text has a token", entity.text, describe(map));
    }
  }
  // New tokens are made only for new forward entries; a new forward entry either received a
  // new token or shares the token of a case variant that was already mapped.
  for (const auto& [token, entity] : map.reverse) {
    if (existing && existing->reverse.contains(token)) continue;
    if (token == entity) {
      // Reserved: text of the input shaped like a token that the caller's map lacks.
      check(is_whole_token(token) && text.find(token) != std::string_view::npos,
            "a token reserved for itself stands in the text");
      continue;
    }
    const auto it = map.forward.find(entity);
    if (it == map.forward.end() || it->second != token) {
      fail("a new token belongs to the forward entry it was made for", token, describe(map));
    }
  }
  for (const auto& [entity, token] : map.forward) {
    if (existing && existing->forward.contains(entity)) continue;
    bool known = map.reverse.contains(token);
    if (!known && existing) {
      for (const auto& [old_entity, old_token] : existing->forward) {
        if (old_token == token) known = true;
      }
    }
    if (!known)
      fail("a new forward entry holds a known token",
           std::string(entity) + " -> " + std::string(token), describe(map));
  }
  // Entity texts here stay far below the size at which the literal algorithm must skip one.
  check_equal(apply_token_map_literal(text, map), apply_token_map(text, map),
              "the result's map substitutes as the literal algorithm does");

  const SessionResult session = from_session_json(to_session_json(map));
  if (!session.ok()) fail("the result's map survives a session", "<ok>", session.error().message());
  check_equal(describe(map), describe(session.value()), "the result's map survives a session");
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk::fuzz;
  FuzzedDataProvider input(data, size);
  const std::string text = consume_text(input, 1024);
  const bool with_existing = input.ConsumeBool();
  const auto existing = std::make_shared<const velk::TokenMap>(consume_token_map(input, text));
  const std::vector<velk::Entity> custom = consume_entities(input, text, 6);
  const velk::TokenMap* existing_map = with_existing ? existing.get() : nullptr;
  const velk::AnonymizeResult result =
      velk::anonymize_with_custom(text, with_existing ? existing : nullptr, custom);
  check_result(text, existing_map, custom, result);
  return 0;
}
