// The fixed set of technical words (languages, products, commands, weekdays...) that the
// detectors must not report.
#ifndef VELK_TECH_ALLOWLIST_H_
#define VELK_TECH_ALLOWLIST_H_

#include <string_view>

#include "velk/string_hash.h"

namespace velk {

// Exact, case-sensitive membership of the whole text; no allocation.
bool is_tech_term(std::string_view text);

// The whole set, built on first use and immutable afterwards (420 entries).
const ViewSet& tech_allowlist();

}  // namespace velk

#endif  // VELK_TECH_ALLOWLIST_H_
