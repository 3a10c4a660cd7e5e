// The order of one anonymize call. Precedence between detectors is decided here, on
// lower-cased texts: pattern entities and custom entities keep lexicon entities out, and
// everything found before the CamelCase pass keeps its projects out.
#include "velk/pipeline.h"

#include <algorithm>
#include <optional>

#include "velk/lexicon_recognizer.h"
#include "velk/pattern_extractors.h"
#include "velk/second_thread.h"
#include "velk/string_hash.h"
#include "velk/substitution.h"
#include "velk/unicode.h"

namespace velk {

namespace {

std::vector<std::string> lower_texts(std::span<const Entity> entities) {
  std::vector<std::string> lowers;
  lowers.reserve(entities.size());
  for (const Entity& entity : entities) lowers.push_back(to_lower(entity.text));
  return lowers;
}

AnonymizeResult finish(std::string_view text, std::shared_ptr<const TokenMap> existing,
                       std::vector<Entity> all_entities, std::span<const std::string> lowers) {
  AnonymizeResult result;
  const auto mapped = [&](const Entity& entity) { return existing->forward.contains(entity.text); };
  if (existing && std::ranges::all_of(all_entities, mapped)) {
    result.token_map = std::move(existing);  // build_token_map would return an equal copy
  } else {
    result.token_map =
        std::make_shared<const TokenMap>(build_token_map(all_entities, existing.get(), lowers));
  }
  result.text = apply_token_map(text, *result.token_map);
  result.entity_count = all_entities.size();
  result.entities = std::move(all_entities);
  return result;
}

template <class T>
void append(std::vector<T>& to, std::vector<T>&& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

}  // namespace

AnonymizeResult anonymize(std::string_view text, std::shared_ptr<const TokenMap> existing) {
  return anonymize_with_custom(text, std::move(existing), {});
}

AnonymizeResult anonymize_with_custom(std::string_view text,
                                      std::shared_ptr<const TokenMap> existing,
                                      std::span<const Entity> custom_entities) {
  // A long text has its lexicon pass run on a second thread beside the patterns.
  std::vector<Entity> lexicon_found;
  const auto lexicon_pass = [&] { lexicon_found = extract_lexicon_entities(text); };
  std::optional<SecondThread> second;
  if (text.size() >= kSecondThreadBytes) second.emplace(lexicon_pass);
  std::vector<Entity> pattern_entities = extract_pattern_entities(text);

  // Each entity is lower-cased once; the texts go into both sets below.
  std::vector<std::string> pattern_lower = lower_texts(pattern_entities);
  const std::vector<std::string> custom_lower = lower_texts(custom_entities);

  StringSet blocked_lower;
  blocked_lower.reserve(pattern_lower.size() + custom_lower.size());
  blocked_lower.insert(pattern_lower.begin(), pattern_lower.end());
  blocked_lower.insert(custom_lower.begin(), custom_lower.end());

  // Lexicon entities whose lower-cased text is blocked are removed, keeping the order.
  std::vector<Entity> lexicon_entities;
  std::vector<std::string> lexicon_lower;
  if (second) {
    second->wait();
  } else {
    lexicon_pass();
  }
  for (Entity& entity : lexicon_found) {
    std::string lower = to_lower(entity.text);
    if (blocked_lower.contains(lower)) continue;
    lexicon_entities.push_back(std::move(entity));
    lexicon_lower.push_back(std::move(lower));
  }

  std::vector<Entity> custom_hits;
  std::vector<std::string> custom_hits_lower;
  StringSet found_lower;
  found_lower.reserve(pattern_lower.size() + lexicon_lower.size() + custom_lower.size());
  found_lower.insert(pattern_lower.begin(), pattern_lower.end());
  found_lower.insert(lexicon_lower.begin(), lexicon_lower.end());
  if (!custom_entities.empty()) {
    const std::string text_lower = to_lower(text);
    for (std::size_t i = 0; i < custom_entities.size(); ++i) {
      // Plain containment, code and word parts included; the empty text always occurs.
      if (text_lower.find(custom_lower[i]) != std::string::npos) {
        custom_hits.push_back(custom_entities[i]);
        custom_hits_lower.push_back(custom_lower[i]);
        found_lower.insert(custom_lower[i]);
      }
    }
  }
  std::vector<Entity> project_entities = extract_camel_case_projects(text, found_lower);

  std::vector<Entity> all_entities = std::move(pattern_entities);
  all_entities.reserve(all_entities.size() + lexicon_entities.size() + custom_hits.size() +
                       project_entities.size());
  append(all_entities, std::move(lexicon_entities));
  append(all_entities, std::move(custom_hits));
  append(all_entities, std::move(project_entities));
  // The lower-cased texts in the same order, for the map.
  std::vector<std::string> all_lower = std::move(pattern_lower);
  all_lower.reserve(all_entities.size());
  append(all_lower, std::move(lexicon_lower));
  append(all_lower, std::move(custom_hits_lower));
  for (std::size_t i = all_lower.size(); i < all_entities.size(); ++i) {
    all_lower.push_back(to_lower(all_entities[i].text));
  }
  return finish(text, std::move(existing), std::move(all_entities), all_lower);
}

}  // namespace velk
