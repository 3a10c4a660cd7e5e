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
//   stages                   the pipeline's stages one by one, for a cost breakdown
// SESSION_FILE is "-" for no map (anonymize) or an empty one. The reverse operations run on
// the forward substitution of TEXT_FILE with the same map, made once before timing.
// One untimed call comes first, so that process-wide tables are built before the clock runs;
// --no-warmup leaves it out, for the literal algorithms whose single call takes many seconds.
// --max-seconds stops timing once that much time is spent, after at least one call.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "velk/code_regions.h"
#include "velk/lexicon_recognizer.h"
#include "velk/pattern_extractors.h"
#include "velk/pipeline.h"
#include "velk/session_json.h"
#include "velk/string_hash.h"
#include "velk/literal_substitution.h"
#include "velk/substitution.h"
#include "velk/token_map.h"
#include "velk/unicode.h"

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

// What the runner needs of an output: enough to tell whether two algorithms agree.
struct OutputSummary {
  std::size_t bytes;
  std::uint64_t hash;
};

// A "Vm...:" field of /proc/self/status in KiB (VmRSS: resident now, VmHWM: peak), or -1.
// Unlike getrusage's ru_maxrss, which carries the parent's peak over fork and exec, these
// describe this process's own address space.
long status_kib(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

// Starts the peak (VmHWM) afresh from the current resident size, so that the peak read later
// belongs to the timed calls and not to reading the inputs.
bool reset_peak_rss() {
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
  clear_refs.flush();
  return clear_refs.good();
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
      "deanonymize_literal | anonymize | stages\n",
      stderr);
  return 2;
}

struct Options {
  long runs = 1;
  bool warm_up = true;
  double max_seconds = 0;  // no limit
};

// Per-call times of `call`, sorted, after an optional untimed first call whose result (or
// else the first timed one's) is summarised in `output`. Only the summary is kept, so that no
// earlier result adds to the peak memory of the calls that follow.
template <typename Call>
std::vector<double> time_calls(const Call& call, const Options& options,
                               std::optional<OutputSummary>* output) {
  constexpr bool kKeepsText = std::is_same_v<decltype(call()), std::string>;
  if (options.warm_up) {
    auto first = call();
    if constexpr (kKeepsText) {
      if (output) *output = OutputSummary{first.size(), fnv1a(first)};
    }
  }
  std::vector<double> seconds;
  seconds.reserve(static_cast<std::size_t>(options.runs));
  double elapsed = 0;
  for (long run = 0; run < options.runs &&
                     (options.max_seconds <= 0 || run == 0 || elapsed < options.max_seconds);
       ++run) {
    const auto start = std::chrono::steady_clock::now();
    auto result = call();
    const auto stop = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
    elapsed += seconds.back();
    if constexpr (kKeepsText) {
      if (output && !*output) *output = OutputSummary{result.size(), fnv1a(result)};
    }
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds;
}

void write_summary(std::ostringstream& json, const std::vector<double>& sorted) {
  double total = 0;
  for (double s : sorted) total += s;
  json << "\"runs\":" << sorted.size() << ",\"min\":" << sorted.front()
       << ",\"median\":" << quantile(sorted, 0.5) << ",\"p90\":" << quantile(sorted, 0.9)
       << ",\"p99\":" << quantile(sorted, 0.99) << ",\"max\":" << sorted.back()
       << ",\"total\":" << total;
}

// The pipeline's public stages timed one by one on the same text: each pattern's scan, the
// pattern pass, the lexicon pass, the CamelCase pass, the numbering and the substitution, fed
// with what anonymize itself produced, so that the shares add up to about one anonymize call.
// The difference is the pipeline's own work (lower-casing, sets, list copies).
int run_stages(std::string_view text, const std::shared_ptr<const velk::TokenMap>& existing,
               const Options& options) {
  using velk::pattern_internals::PatternId;
  const velk::AnonymizeResult reference = velk::anonymize(text, existing);
  velk::StringSet found_lower;
  for (const velk::Entity& entity : reference.entities) {
    if (entity.entity_type != velk::EntityType::Project) {
      found_lower.insert(velk::to_lower(entity.text));
    }
  }
  std::vector<std::pair<std::string_view, std::function<std::size_t()>>> stages = {
      {"anonymize", [&] { return velk::anonymize(text, existing).text.size(); }},
      {"extract_pattern_entities", [&] { return velk::extract_pattern_entities(text).size(); }},
      {"extract_lexicon_entities", [&] { return velk::extract_lexicon_entities(text).size(); }},
      {"extract_camel_case_projects",
       [&] { return velk::extract_camel_case_projects(text, found_lower).size(); }},
      {"build_token_map",
       [&] { return velk::build_token_map(reference.entities, existing.get()).size(); }},
      {"apply_token_map", [&] { return velk::apply_token_map(text, *reference.token_map).size(); }},
      {"find_code_regions", [&] { return velk::find_code_regions(text).size(); }},
  };
  constexpr std::pair<std::string_view, PatternId> kPatterns[] = {
      {"pattern_url", PatternId::kUrl},       {"pattern_email", PatternId::kEmail},
      {"pattern_domain", PatternId::kDomain}, {"pattern_handle", PatternId::kHandle},
      {"pattern_phone", PatternId::kPhone},   {"pattern_ip", PatternId::kIp},
      {"pattern_secret", PatternId::kSecret}, {"pattern_camel_case", PatternId::kCamelCase}};
  for (const auto& [name, id] : kPatterns) {
    stages.emplace_back(name, [&text, id = id] {
      return velk::pattern_internals::find_pattern_matches(id, text).size();
    });
  }
  std::ostringstream json;
  json.precision(9);
  json << "{\"operation\":\"stages\",\"input_bytes\":" << text.size()
       << ",\"map_entries\":" << (existing ? existing->size() : 0)
       << ",\"entities\":" << reference.entities.size()
       << ",\"result_map_entries\":" << reference.token_map->size() << ",\"stages\":{";
  // Round robin: every run times each stage once, so that a change in the machine's load
  // during the measurement weighs on all stages alike instead of on whichever ran then.
  if (options.warm_up) {
    for (const auto& stage : stages) stage.second();
  }
  std::vector<std::vector<double>> seconds(stages.size());
  double elapsed = 0;
  for (long run = 0; run < options.runs &&
                     (options.max_seconds <= 0 || run == 0 || elapsed < options.max_seconds);
       ++run) {
    for (std::size_t i = 0; i < stages.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      stages[i].second();
      const auto stop = std::chrono::steady_clock::now();
      seconds[i].push_back(std::chrono::duration<double>(stop - start).count());
      elapsed += seconds[i].back();
    }
  }
  for (std::size_t i = 0; i < stages.size(); ++i) {
    std::sort(seconds[i].begin(), seconds[i].end());
    json << (i ? "," : "") << "\"" << stages[i].first << "\":{";
    write_summary(json, seconds[i]);
    json << "}";
  }
  json << "},\"compiler\":\"" << compiler() << "\"}\n";
  std::fputs(json.str().c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return usage();
  Options options;
  options.runs = std::strtol(argv[4], nullptr, 10);
  if (options.runs < 1) return usage();
  for (int i = 5; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--no-warmup") {
      options.warm_up = false;
    } else if (flag.starts_with("--max-seconds=")) {
      options.max_seconds = std::strtod(argv[i] + flag.find('=') + 1, nullptr);
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
  std::shared_ptr<const velk::TokenMap> map;
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
    map = std::make_shared<const velk::TokenMap>(std::move(session.value()));
  }
  const std::shared_ptr<const velk::TokenMap>& existing = map;
  if (operation == "stages") return run_stages(*text, existing, options);

  const velk::TokenMap empty_map;
  const velk::TokenMap& token_map = map ? *map : empty_map;
  std::string input = *text;
  std::function<std::string()> call;
  if (operation == "apply_token_map") {
    call = [&] { return velk::apply_token_map(input, token_map); };
  } else if (operation == "apply_token_map_literal") {
    call = [&] { return velk::apply_token_map_literal(input, token_map); };
  } else if (operation == "deanonymize" || operation == "deanonymize_literal") {
    input = velk::apply_token_map(*text, token_map);
    if (operation == "deanonymize") {
      call = [&] { return velk::deanonymize(input, token_map); };
    } else {
      call = [&] { return velk::deanonymize_literal(input, token_map); };
    }
  } else if (operation == "anonymize") {
    call = [&input, existing] { return velk::anonymize(input, existing).text; };
  } else {
    return usage();
  }

  const bool peak_reset = reset_peak_rss();
  const long rss_before = status_kib("VmRSS");
  std::optional<OutputSummary> output;
  const std::vector<double> sorted = time_calls(call, options, &output);
  const long rss_peak = status_kib("VmHWM");

  std::ostringstream json;
  json.precision(9);
  json << "{\"operation\":\"" << operation << "\",\"input_bytes\":" << input.size()
       << ",\"map_entries\":" << token_map.size() << ",";
  write_summary(json, sorted);
  json << ",\"output_bytes\":" << output->bytes << ",\"output_fnv1a64\":\"" << std::hex
       << output->hash << std::dec << "\",\"peak_rss_kib\":" << rss_peak
       << ",\"rss_before_kib\":" << rss_before
       << ",\"peak_reset\":" << (peak_reset ? "true" : "false") << ",\"compiler\":\"" << compiler()
       << "\"}\n";
  std::fputs(json.str().c_str(), stdout);
  return 0;
}
