// The order of one anonymize call. Precedence between detectors is decided here, on
// lower-cased texts: pattern entities and custom entities keep lexicon entities out, and
// everything found before the CamelCase pass keeps its projects out.
//
// What a detector found is replaced where it found it: the map substitution's edge rules keep
// ordinary words whole, but they would leave a found address after '@' or a URL ending in '/'
// in the clear. Text that already looks like a token is reserved in the map, so that no entity
// is numbered onto it and restoring gives back what the user wrote.
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

// Token-shaped texts of the input that the map does not know, each once, in text order. They
// are reserved as reverse entries to themselves, so that numbering never gives them out and
// restoring leaves them as the user wrote them.
std::vector<std::string_view> unknown_tokens(std::string_view text, const TokenMap* existing) {
  std::vector<std::string_view> unknown;
  for (auto token = find_token(text); token; token = find_token(text, token->end)) {
    const std::string_view shape = text.substr(token->start, token->end - token->start);
    if (existing && existing->reverse.contains(shape)) continue;
    if (std::find(unknown.begin(), unknown.end(), shape) == unknown.end()) unknown.push_back(shape);
  }
  return unknown;
}

AnonymizeResult finish(std::string_view text, std::shared_ptr<const TokenMap> existing,
                       std::vector<Entity> all_entities, std::span<const std::string> lowers,
                       std::span<const std::pair<std::size_t, std::vector<EntityPlace>>> found,
                       const std::vector<CodeRegion>& code_regions) {
  AnonymizeResult result;
  // Each entity's token, in the result's map; an entity has many places in a long text.
  std::vector<std::string_view> tokens;
  tokens.reserve(all_entities.size());
  const std::vector<std::string_view> reserved = unknown_tokens(text, existing.get());
  const auto mapped = [&](const Entity& entity) {
    const auto entry = existing->forward.find(entity.text);
    if (entry == existing->forward.end()) return false;
    tokens.push_back(entry->second);
    return true;
  };
  if (existing && reserved.empty() && std::ranges::all_of(all_entities, mapped)) {
    result.token_map = std::move(existing);  // build_token_map would return an equal copy
  } else if (reserved.empty()) {
    tokens.clear();
    result.token_map = std::make_shared<const TokenMap>(
        build_token_map(all_entities, existing.get(), lowers, &tokens));
  } else {
    tokens.clear();
    TokenMap base = existing ? *existing : TokenMap{};
    for (const std::string_view token : reserved) base.reverse.emplace(token, token);
    result.token_map =
        std::make_shared<const TokenMap>(build_token_map(all_entities, &base, lowers, &tokens));
  }
  // Each detector's places, with the token of the entity each stands for. `found` holds, per
  // detector, where its entities start in `all_entities` and its places.
  std::vector<ForcedPlace> places;
  std::size_t place_count = 0;
  for (const auto& detector : found) place_count += detector.second.size();
  places.reserve(place_count);
  for (const auto& [first_entity, detector_places] : found) {
    for (const EntityPlace& place : detector_places) {
      places.push_back({place.start, place.end, tokens[first_entity + place.entity]});
    }
  }
  result.text =
      apply_token_map_at_places(text, *result.token_map, std::move(places), code_regions);
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
  // A long text has its code regions, lexicon pass and CamelCase search on a second thread,
  // while this one runs the patterns, which take about as long; the regions serve the
  // substitution too.
  std::vector<CodeRegion> code_regions;
  std::vector<Entity> lexicon_found;
  std::vector<std::string> lexicon_found_lower;
  std::vector<EntityPlace> lexicon_places;
  std::vector<pattern_internals::MatchSpan> camel_case_words;
  const auto lexicon_pass = [&] {
    code_regions = find_code_regions(text);
    lexicon_found = extract_lexicon_entities(text, &lexicon_places, &code_regions);
    lexicon_found_lower = lower_texts(lexicon_found);
    camel_case_words =
        pattern_internals::find_pattern_matches(pattern_internals::PatternId::kCamelCase, text);
  };
  std::optional<SecondThread> second;
  if (text.size() >= kSecondThreadBytes) second.emplace(lexicon_pass);
  // Each entity is lower-cased once; the sets below view those texts.
  std::vector<EntityPlace> pattern_places;
  std::vector<std::string> pattern_lower;
  std::vector<Entity> pattern_entities =
      extract_pattern_entities(text, &pattern_places, &pattern_lower);
  const std::vector<std::string> custom_lower = lower_texts(custom_entities);

  ViewSet blocked_lower;
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
  // Where each found entity went, for its places; kDropped when it was removed.
  constexpr std::size_t kDropped = static_cast<std::size_t>(-1);
  std::vector<std::size_t> kept_at(lexicon_found.size(), kDropped);
  for (std::size_t i = 0; i < lexicon_found.size(); ++i) {
    if (blocked_lower.contains(lexicon_found_lower[i])) continue;
    kept_at[i] = lexicon_entities.size();
    lexicon_entities.push_back(std::move(lexicon_found[i]));
    lexicon_lower.push_back(std::move(lexicon_found_lower[i]));
  }
  std::erase_if(lexicon_places, [&](EntityPlace& place) {
    place.entity = kept_at[place.entity];
    return place.entity == kDropped;
  });

  std::vector<Entity> custom_hits;
  std::vector<std::string> custom_hits_lower;
  ViewSet found_lower;
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
  std::vector<EntityPlace> project_places;
  std::vector<Entity> project_entities =
      extract_camel_case_projects(text, camel_case_words, found_lower, &project_places);

  // Where each detector's entities start in all_entities, with its places.
  const std::size_t pattern_count = pattern_entities.size();
  const std::pair<std::size_t, std::vector<EntityPlace>> found[] = {
      {0, std::move(pattern_places)},
      {pattern_count, std::move(lexicon_places)},
      {pattern_count + lexicon_entities.size() + custom_hits.size(), std::move(project_places)}};

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
  return finish(text, std::move(existing), std::move(all_entities), all_lower, found,
                code_regions);
}

}  // namespace velk
