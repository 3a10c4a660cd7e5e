// Transparent hashing so that tables keyed by std::string can be probed with a
// std::string_view without allocating.
#ifndef VELK_STRING_HASH_H_
#define VELK_STRING_HASH_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace velk {

struct StringHash {
  using is_transparent = void;
  // Deliberately not noexcept: libstdc++ then keeps each key's hash in its node instead of
  // hashing every key again whenever a table grows.
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
// FNV-1a over the bytes of `text`, each passed through `fold` first (to hash caselessly).
template <class Fold>
constexpr std::uint64_t fnv1a(std::string_view text, Fold fold) {
  std::uint64_t hash = 0xcbf29ce484222325;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(fold(c))) * 0x100000001b3;
  return hash;
}

// Sets of views into data that outlives the set (compiled-in word lists, the input text).
using ViewSet = std::unordered_set<std::string_view>;

}  // namespace velk

#endif  // VELK_STRING_HASH_H_
