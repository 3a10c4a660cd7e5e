// One anonymize call: the detector passes, the merge with caller-supplied entities, the
// extension of the caller's map and the substitution.
#ifndef VELK_PIPELINE_H_
#define VELK_PIPELINE_H_

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velk/entity.h"
#include "velk/token_map.h"

namespace velk {

struct AnonymizeResult {
  std::string text;
  // Never null. Maps are immutable once built, so when the text brings no entity text that the
  // caller's map lacks, this is the caller's map itself rather than a copy: in a long
  // conversation most messages only repeat what the map holds.
  std::shared_ptr<const TokenMap> token_map;
  std::vector<Entity> entities;
  // Fixed when the result is built; always entities.size(), duplicates included.
  std::size_t entity_count = 0;
};

// Detects entities in `text`, extends a copy of `existing` (or an empty map; null for none) and
// substitutes tokens outside code. Never fails; `existing` is not changed.
AnonymizeResult anonymize(std::string_view text, std::shared_ptr<const TokenMap> existing);

// As anonymize, plus the caller's own entities: each one whose lower-cased text occurs anywhere
// in the lower-cased text is kept (as given), and all of them keep lexicon entities with the
// same lower-cased text out.
AnonymizeResult anonymize_with_custom(std::string_view text,
                                      std::shared_ptr<const TokenMap> existing,
                                      std::span<const Entity> custom_entities);

}  // namespace velk

#endif  // VELK_PIPELINE_H_
