// A thin owner of compiled PCRE2 patterns (8-bit, UTF and UCP mode, JIT when available) and of
// the per-search match data.
#ifndef VELK_REGEX_H_
#define VELK_REGEX_H_

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstddef>
#include <memory>
#include <string_view>

namespace velk {

// Our word characters (is_word_char) as items of a bracket class, for patterns that need them:
// PCRE2's own \w and \b count No characters such as U+00B2 and miss spacing marks, so the
// class is spelled out wherever a pattern means our word characters.
inline constexpr std::string_view kWordClassItems =
    "\\p{Alphabetic}\\p{Mn}\\p{Mc}\\p{Me}\\p{Nd}\\p{Pc}\\x{200C}\\x{200D}";

struct CodeDeleter {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

class Regex;

// Offsets of the last successful search; reusable across searches of the same pattern.
class MatchResult {
 public:
  explicit MatchResult(const Regex& regex);

  std::size_t start(int group = 0) const;
  std::size_t end(int group = 0) const;

 private:
  friend class Regex;
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> data_;
};

enum class SearchStatus { kMatch, kNoMatch, kError };

class Regex {
 public:
  // Compiles `pattern` with UTF and UCP on. Check ok(): a pattern can be refused, for
  // instance when it exceeds the engine's size limit.
  static Regex compile(std::string_view pattern, bool jit = true);

  bool ok() const { return code_ != nullptr; }
  const pcre2_code* code() const { return code_.get(); }

  // Finds the leftmost match starting at or after byte `start` (a character boundary) of
  // `subject`, which must be valid UTF-8. When the engine reports a resource limit the search
  // is repeated with larger limits before kError is returned, so kError means the input could
  // not be searched at all, never that there is no match.
  SearchStatus search(std::string_view subject, std::size_t start, MatchResult& result) const;

 private:
  std::unique_ptr<pcre2_code, CodeDeleter> code_;
};

}  // namespace velk

#endif  // VELK_REGEX_H_
