// Timing driver for the benchmark runner (bench/run.py): reads a text file and a session
// document, runs one named core operation a given number of times and prints one line of JSON
// with the per-call times, the peak memory and a hash of the output, so that the runner can
// compare the product algorithms with the literal reference on the same input in one run.
//
//   substitution_driver OPERATION TEXT_FILE SESSION_FILE RUNS [--no-warmup] [--max-seconds=S]
//
// OPERATION is one of
//   apply_token_map          the product forward substitution
//   apply_token_map_literal  the literal reference: one pattern per entity and stretch
//   deanonymize              the product reverse substitution
//   deanonymize_literal      the literal reference: one search per token
//   anonymize                the whole pipeline, SESSION_FILE being the existing map
// SESSION_FILE is "-" for no map (anonymize) or an empty one. The reverse operations run on
// the forward substitution of TEXT_FILE with the same map, made once before timing.
// One untimed call comes first, so that process-wide tables are built before the clock runs;
// --no-warmup leaves it out, for the literal algorithms whose single call takes many seconds.
// --max-seconds stops timing once that much time is spent, after at least one call.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "velk/pipeline.h"
#include "velk/session_json.h"
#include "velk/substitution.h"
#include "velk/token_map.h"

// The product functions carry the plain names once the literal ones are renamed with a
// `_literal` suffix; before that the product ones live in fast_substitution.h. The build
// decides which by compiling a probe (bench/CMakeLists.txt).
#if VELK_BENCH_LITERAL_SUFFIX
namespace product {
using velk::apply_token_map;
using velk::deanonymize;
}  // namespace product
namespace literal {
inline std::string apply_token_map(std::string_view text, const velk::TokenMap& map) {
  return velk::apply_token_map_literal(text, map);
}
inline std::string deanonymize(std::string_view text, const velk::TokenMap& map) {
  return velk::deanonymize_literal(text, map);
}
}  // namespace literal
#else
#include "velk/fast_substitution.h"
namespace product {
inline std::string apply_token_map(std::string_view text, const velk::TokenMap& map) {
  return velk::fast_apply_token_map(text, map);
}
inline std::string deanonymize(std::string_view text, const velk::TokenMap& map) {
  return velk::fast_deanonymize(text, map);
}
}  // namespace product
namespace literal {
using velk::apply_token_map;
using velk::deanonymize;
}  // namespace literal
#endif

namespace {

std::optional<std::string> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// FNV-1a, 64 bits: enough to tell the runner whether two algorithms gave the same text.
std::uint64_t fnv1a(std::string_view data) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char byte : data) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

// The value at quantile q of sorted samples, by the nearest-rank method.
double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::clamp<std::size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

std::string compiler() {
#if defined(__clang__)
  return "clang " __clang_version__;
#elif defined(__GNUC__)
  return "g++ " __VERSION__;
#else
  return "unknown";
#endif
}

int usage() {
  std::fputs(
      "usage: substitution_driver OPERATION TEXT_FILE SESSION_FILE RUNS [--no-warmup] "
      "[--max-seconds=S]\n"
      "OPERATION: apply_token_map | apply_token_map_literal | deanonymize | "
      "deanonymize_literal | anonymize\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return usage();
  bool warm_up = true;
  double max_seconds = 0;  // no limit
  for (int i = 5; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--no-warmup") {
      warm_up = false;
    } else if (flag.starts_with("--max-seconds=")) {
      max_seconds = std::strtod(argv[i] + flag.find('=') + 1, nullptr);
    } else {
      return usage();
    }
  }
  const std::string_view operation = argv[1];
  const std::optional<std::string> text = read_file(argv[2]);
  if (!text) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 2;
  }
  std::optional<velk::TokenMap> map;
  if (std::string_view(argv[3]) != "-") {
    const std::optional<std::string> json = read_file(argv[3]);
    if (!json) {
      std::fprintf(stderr, "cannot read %s\n", argv[3]);
      return 2;
    }
    velk::SessionResult session = velk::from_session_json(*json);
    if (!session.ok()) {
      std::fprintf(stderr, "%s: %s\n", argv[3], session.error().message().c_str());
      return 2;
    }
    map = std::move(session.value());
  }
  const long runs = std::strtol(argv[4], nullptr, 10);
  if (runs < 1) return usage();
  const velk::TokenMap empty_map;
  const velk::TokenMap& token_map = map ? *map : empty_map;

  std::string input = *text;
  std::function<std::string()> call;
  if (operation == "apply_token_map") {
    call = [&] { return product::apply_token_map(input, token_map); };
  } else if (operation == "apply_token_map_literal") {
    call = [&] { return literal::apply_token_map(input, token_map); };
  } else if (operation == "deanonymize" || operation == "deanonymize_literal") {
    input = product::apply_token_map(*text, token_map);
    if (operation == "deanonymize") {
      call = [&] { return product::deanonymize(input, token_map); };
    } else {
      call = [&] { return literal::deanonymize(input, token_map); };
    }
  } else if (operation == "anonymize") {
    const velk::TokenMap* existing = map ? &*map : nullptr;
    call = [&input, existing] { return velk::anonymize(input, existing).text; };
  } else {
    return usage();
  }

  const long rss_before = peak_rss_kib();
  std::optional<std::string> output;
  if (warm_up) output = call();
  std::vector<double> seconds;
  seconds.reserve(static_cast<std::size_t>(runs));
  double elapsed = 0;
  for (long run = 0; run < runs && (max_seconds <= 0 || run == 0 || elapsed < max_seconds); ++run) {
    const auto start = std::chrono::steady_clock::now();
    std::string result = call();
    const auto stop = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
    elapsed += seconds.back();
    if (!output) output = std::move(result);
  }
  const long rss_after = peak_rss_kib();

  std::vector<double> sorted = seconds;
  std::sort(sorted.begin(), sorted.end());
  double total = 0;
  for (double s : seconds) total += s;

  std::ostringstream json;
  json.precision(9);
  json << "{\"operation\":\"" << operation << "\",\"input_bytes\":" << input.size()
       << ",\"map_entries\":" << token_map.size() << ",\"runs\":" << seconds.size()
       << ",\"min\":" << sorted.front() << ",\"median\":" << quantile(sorted, 0.5)
       << ",\"p90\":" << quantile(sorted, 0.9) << ",\"p99\":" << quantile(sorted, 0.99)
       << ",\"max\":" << sorted.back() << ",\"total\":" << total
       << ",\"output_bytes\":" << output->size() << ",\"output_fnv1a64\":\"" << std::hex
       << fnv1a(*output) << std::dec << "\",\"peak_rss_kib\":" << rss_after
       << ",\"peak_rss_before_kib\":" << rss_before << ",\"compiler\":\"" << compiler() << "\"}\n";
  std::fputs(json.str().c_str(), stdout);
  return 0;
}
