// The order of one anonymize call. Precedence between detectors is decided here, on
// lower-cased texts: pattern entities and custom entities keep lexicon entities out, and
// everything found before the CamelCase pass keeps its projects out.
#include "velk/pipeline.h"

#include "velk/lexicon_recognizer.h"
#include "velk/pattern_extractors.h"
#include "velk/string_hash.h"
#include "velk/substitution.h"
#include "velk/unicode.h"

namespace velk {

namespace {

void insert_lower(StringSet& set, const std::vector<Entity>& entities) {
  for (const Entity& entity : entities) set.insert(to_lower(entity.text));
}

// Removes, in order, the lexicon entities whose lower-cased text is blocked.
void drop_blocked(std::vector<Entity>& entities, const StringSet& blocked_lower) {
  std::erase_if(entities, [&](const Entity& entity) {
    return blocked_lower.contains(to_lower(entity.text));
  });
}

AnonymizeResult finish(std::string_view text, const TokenMap* existing,
                       std::vector<Entity> all_entities) {
  AnonymizeResult result;
  result.token_map = build_token_map(all_entities, existing);
  result.text = apply_token_map(text, result.token_map);
  result.entity_count = all_entities.size();
  result.entities = std::move(all_entities);
  return result;
}

void append(std::vector<Entity>& to, std::vector<Entity>&& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

}  // namespace

AnonymizeResult anonymize(std::string_view text, const TokenMap* existing) {
  return anonymize_with_custom(text, existing, {});
}

AnonymizeResult anonymize_with_custom(std::string_view text, const TokenMap* existing,
                                      std::span<const Entity> custom_entities) {
  std::vector<Entity> pattern_entities = extract_pattern_entities(text);

  StringSet blocked_lower;
  blocked_lower.reserve(pattern_entities.size() + custom_entities.size());
  insert_lower(blocked_lower, pattern_entities);
  for (const Entity& entity : custom_entities) blocked_lower.insert(to_lower(entity.text));

  std::vector<Entity> lexicon_entities = extract_lexicon_entities(text);
  drop_blocked(lexicon_entities, blocked_lower);

  std::vector<Entity> custom_hits;
  if (!custom_entities.empty()) {
    const std::string text_lower = to_lower(text);
    for (const Entity& entity : custom_entities) {
      // Plain containment, code and word parts included; the empty text always occurs.
      if (text_lower.find(to_lower(entity.text)) != std::string::npos) {
        custom_hits.push_back(entity);
      }
    }
  }

  StringSet found_lower;
  found_lower.reserve(pattern_entities.size() + lexicon_entities.size() + custom_hits.size());
  insert_lower(found_lower, pattern_entities);
  insert_lower(found_lower, lexicon_entities);
  insert_lower(found_lower, custom_hits);
  std::vector<Entity> project_entities = extract_camel_case_projects(text, found_lower);

  std::vector<Entity> all_entities = std::move(pattern_entities);
  all_entities.reserve(all_entities.size() + lexicon_entities.size() + custom_hits.size() +
                       project_entities.size());
  append(all_entities, std::move(lexicon_entities));
  append(all_entities, std::move(custom_hits));
  append(all_entities, std::move(project_entities));
  return finish(text, existing, std::move(all_entities));
}

}  // namespace velk
