// PCRE2 ownership and searching, including what to do when the engine runs out of room.
#include "velk/regex.h"

namespace velk {

namespace {

struct MatchContextDeleter {
  void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
struct JitStackDeleter {
  void operator()(pcre2_jit_stack* stack) const { pcre2_jit_stack_free(stack); }
};

bool is_resource_limit(int rc) {
  return rc == PCRE2_ERROR_JIT_STACKLIMIT || rc == PCRE2_ERROR_MATCHLIMIT ||
         rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT ||
         rc == PCRE2_ERROR_NOMEMORY;
}

}  // namespace

MatchResult::MatchResult(const Regex& regex)
    : data_(pcre2_match_data_create_from_pattern(regex.code(), nullptr)) {}

std::size_t MatchResult::start(int group) const {
  return pcre2_get_ovector_pointer(data_.get())[2 * group];
}

std::size_t MatchResult::end(int group) const {
  return pcre2_get_ovector_pointer(data_.get())[2 * group + 1];
}

Regex Regex::compile(std::string_view pattern, bool jit) {
  Regex regex;
  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  regex.code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                  PCRE2_UTF | PCRE2_UCP | PCRE2_NO_UTF_CHECK, &error_code,
                                  &error_offset, nullptr));
  if (regex.code_ && jit) {
    // Without JIT the interpreter still gives the same answers, only slower.
    pcre2_jit_compile(regex.code_.get(), PCRE2_JIT_COMPLETE);
  }
  return regex;
}

SearchStatus Regex::search(std::string_view subject, std::size_t start,
                           MatchResult& result) const {
  const auto* data = reinterpret_cast<PCRE2_SPTR>(subject.data());
  int rc = pcre2_match(code_.get(), data, subject.size(), start, PCRE2_NO_UTF_CHECK,
                       result.data_.get(), nullptr);
  if (is_resource_limit(rc)) {
    // Rare: retry with a large JIT stack and without the interpreter's default limits rather
    // than give up on the rest of the text.
    std::unique_ptr<pcre2_match_context, MatchContextDeleter> context(
        pcre2_match_context_create(nullptr));
    std::unique_ptr<pcre2_jit_stack, JitStackDeleter> stack(
        pcre2_jit_stack_create(32 * 1024, 256 * 1024 * 1024, nullptr));
    if (context) {
      if (stack) pcre2_jit_stack_assign(context.get(), nullptr, stack.get());
      pcre2_set_match_limit(context.get(), UINT32_MAX);
      pcre2_set_depth_limit(context.get(), UINT32_MAX);
      pcre2_set_heap_limit(context.get(), UINT32_MAX);
      rc = pcre2_match(code_.get(), data, subject.size(), start, PCRE2_NO_UTF_CHECK,
                       result.data_.get(), context.get());
    }
  }
  if (rc >= 0) return SearchStatus::kMatch;
  if (rc == PCRE2_ERROR_NOMATCH) return SearchStatus::kNoMatch;
  return SearchStatus::kError;
}

}  // namespace velk
