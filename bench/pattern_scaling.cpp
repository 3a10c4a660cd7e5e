// Scaling of the pattern searches on adversarial inputs: each pattern, and the whole pattern
// and CamelCase passes, on generated texts of 10 KB, 100 KB and 1 MB (and one 10 MB word),
// next to plain iteration of the e-mail and domain engine patterns as the baseline that the
// linear searches replace. Inputs are generated here; nothing is read or downloaded.
//
// Build from the repository root (a Release build of the libraries inside build-patterns; each
// command is one line, wrapped here):
//   cmake -S . -B build-patterns/release -G Ninja -DVELK_BUILD_MODULE=OFF
//       -DCMAKE_BUILD_TYPE=Release
//   ninja -C build-patterns/release -j2 velk_patterns
//   g++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -Isrc bench/pattern_scaling.cpp
//       build-patterns/release/libvelk_patterns.a build-patterns/release/libvelk_base.a
//       $(pkg-config --libs libpcre2-8 icu-uc) -o build-patterns/pattern_scaling
// Run:
//   build-patterns/pattern_scaling [results.json]
// Prints one row per input and search (milliseconds of thread CPU time per call, fastest of
// several runs, and the throughput at 1 MB), then the slowest input for each search, and writes
// the rows as JSON.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "velk/pattern_extractors.h"
#include "velk/regex.h"

namespace {

using velk::pattern_internals::collect_matches;
using velk::pattern_internals::engine_pattern;
using velk::pattern_internals::find_pattern_matches;
using velk::pattern_internals::pattern_text;
using velk::pattern_internals::PatternId;
using velk::pattern_internals::SearchOutcome;

constexpr std::array<PatternId, 8> kPatterns = {
    PatternId::kUrl,   PatternId::kEmail, PatternId::kDomain, PatternId::kHandle,
    PatternId::kPhone, PatternId::kIp,    PatternId::kSecret, PatternId::kCamelCase};
constexpr std::array<const char*, 8> kPatternNames = {"url",   "email", "domain", "handle",
                                                      "phone", "ip",    "secret", "camel"};
constexpr std::array<std::size_t, 3> kSizes = {10 * 1000, 100 * 1000, 1000 * 1000};

std::string repeat(std::string_view piece, std::size_t total) {
  std::string out;
  out.reserve(total + piece.size());
  while (out.size() < total) out.append(piece);
  out.resize(total);
  return out;
}

std::string mixture(std::size_t total) {
  static constexpr std::string_view kChars = "aZ9.-_@%+/";
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> pick(0, kChars.size() - 1);
  std::string out(total, ' ');
  for (char& ch : out) ch = kChars[pick(random)];
  return out;
}

struct Input {
  const char* name;
  std::function<std::string(std::size_t)> build;
};

const std::vector<Input>& inputs() {
  static const std::vector<Input> list = {
      {"letters", [](std::size_t n) { return std::string(n, 'a'); }},
      {"digits", [](std::size_t n) { return std::string(n, '7'); }},
      {"at_signs", [](std::size_t n) { return std::string(n, '@'); }},
      {"dots", [](std::size_t n) { return std::string(n, '.'); }},
      {"hyphens", [](std::size_t n) { return std::string(n, '-'); }},
      {"underscores", [](std::size_t n) { return std::string(n, '_'); }},
      {"hyphenated_label", [](std::size_t n) { return repeat("a-", n - 2) + ".x"; }},
      {"local_run_bare_at", [](std::size_t n) { return std::string(n - 4, 'a') + "@-.x"; }},
      {"dotted_local_bare_at", [](std::size_t n) { return repeat("a.", n - 4) + "@-.x"; }},
      {"domain_run", [](std::size_t n) { return "x@" + repeat("-.", n - 2); }},
      {"many_at", [](std::size_t n) { return repeat("a@", n); }},
      {"dotted_quads", [](std::size_t n) { return repeat("1.", n); }},
      {"camel_glued", [](std::size_t n) { return "AbcD" + std::string(n - 5, 'e') + "1"; }},
      {"mixture", mixture},
      {"prose",
       [](std::size_t n) {
         return repeat(
             "Ping @jdoe about BlueHarbor: mail jane@example.com or see https://acme.io/x, "
             "call 555-123-4567 from 10.0.0.1 with key a1B2c3D4e5F6g7H8i9J0k1L2m3N4o5P6. ",
             n);
       }},
  };
  return list;
}

// CPU time of this thread in milliseconds: other processes on a shared machine do not count.
double thread_ms() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

template <typename Work>
double fastest_ms(Work work, std::size_t bytes) {
  const int runs = bytes >= 1000 * 1000 ? 3 : 7;
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const double start = thread_ms();
    work();
    best = std::min(best, thread_ms() - start);
  }
  return best;
}

// Plain iteration of the documented pattern's engine text: the search the linear ones replace.
std::size_t plain_match_count(const velk::Regex& regex, std::string_view text) {
  velk::MatchResult result(regex);
  return collect_matches(text,
                         [&](std::size_t from) {
                           SearchOutcome outcome{regex.search(text, from, result), {}, {}};
                           outcome.match = outcome.entity = {result.start(), result.end()};
                           return outcome;
                         })
      .size();
}

struct Row {
  std::string input;
  std::string what;
  std::array<double, 3> ms{};
  std::array<bool, 3> measured{};
};

void print_row(const Row& row) {
  std::printf("%-22s %-16s", row.input.c_str(), row.what.c_str());
  for (std::size_t i = 0; i < kSizes.size(); ++i) {
    if (row.measured[i]) {
      std::printf(" %11.3f", row.ms[i]);
    } else {
      std::printf(" %11s", "skipped");
    }
  }
  if (row.measured[2]) std::printf(" %9.0f", kSizes[2] / 1e3 / std::max(row.ms[2], 1e-3));
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Row> rows;
  std::printf("%-22s %-16s %11s %11s %11s %9s\n", "input", "search", "10KB ms", "100KB ms",
              "1MB ms", "1MB MB/s");
  const velk::Regex plain_email = velk::Regex::compile(engine_pattern(velk::EMAIL_PATTERN));
  const velk::Regex plain_domain = velk::Regex::compile(engine_pattern(velk::DOMAIN_PATTERN));
  for (const Input& input : inputs()) {
    std::array<std::string, 3> texts;
    for (std::size_t i = 0; i < kSizes.size(); ++i) texts[i] = input.build(kSizes[i]);
    for (std::size_t p = 0; p < kPatterns.size(); ++p) {
      Row row{input.name, kPatternNames[p]};
      for (std::size_t i = 0; i < kSizes.size(); ++i) {
        row.ms[i] = fastest_ms([&] { find_pattern_matches(kPatterns[p], texts[i]); }, kSizes[i]);
        row.measured[i] = true;
      }
      print_row(row);
      rows.push_back(row);
    }
    Row passes{input.name, "both_passes"};
    for (std::size_t i = 0; i < kSizes.size(); ++i) {
      passes.ms[i] = fastest_ms(
          [&] {
            velk::extract_pattern_entities(texts[i]);
            velk::extract_camel_case_projects(texts[i], {});
          },
          kSizes[i]);
      passes.measured[i] = true;
    }
    print_row(passes);
    rows.push_back(passes);
    // The baseline can be quadratic: stop growing it once a call takes over 50 ms.
    for (auto [regex, name] :
         {std::pair{&plain_email, "plain_email"}, std::pair{&plain_domain, "plain_domain"}}) {
      Row row{input.name, name};
      for (std::size_t i = 0; i < kSizes.size(); ++i) {
        if (i > 0 && row.ms[i - 1] > 50.0) break;
        row.ms[i] = fastest_ms([&] { plain_match_count(*regex, texts[i]); }, kSizes[i]);
        row.measured[i] = true;
      }
      print_row(row);
      rows.push_back(row);
    }
  }

  std::printf("\nslowest input per search\n");
  std::vector<std::string> searches;
  for (const Row& row : rows) {
    if (std::find(searches.begin(), searches.end(), row.what) == searches.end()) {
      searches.push_back(row.what);
    }
  }
  for (const std::string& search : searches) {
    Row worst{"", search};
    for (std::size_t i = 0; i < kSizes.size(); ++i) {
      std::string slowest;
      for (const Row& row : rows) {
        if (row.what == search && row.measured[i] && row.ms[i] >= worst.ms[i]) {
          worst.ms[i] = row.ms[i];
          worst.measured[i] = true;
          slowest = row.input;
        }
      }
      // A baseline too slow to run at this size on some input has no worst case to show.
      for (const Row& row : rows) {
        if (row.what == search && !row.measured[i]) worst.measured[i] = false;
      }
      if (i == kSizes.size() - 1) worst.input = slowest;
    }
    print_row(worst);
  }

  // One 10 MB word without spaces, through both passes.
  const std::string word = mixture(10 * 1000 * 1000);
  const double word_ms = fastest_ms(
      [&] {
        velk::extract_pattern_entities(word);
        velk::extract_camel_case_projects(word, {});
      },
      word.size());
  std::printf("10 MB mixed word, both passes: %.1f ms (%.1f MB/s)\n", word_ms,
              word.size() / 1e3 / word_ms);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory: %ld KB\n", usage.ru_maxrss);

  if (argc > 1) {
    std::ofstream json(argv[1]);
    json << "{\"sizes\": [10000, 100000, 1000000], \"rows\": [";
    for (std::size_t r = 0; r < rows.size(); ++r) {
      json << (r ? ", " : "") << "{\"input\": \"" << rows[r].input << "\", \"search\": \""
           << rows[r].what << "\", \"ms\": [";
      for (std::size_t i = 0; i < kSizes.size(); ++i) {
        json << (i ? ", " : "");
        if (rows[r].measured[i]) {
          json << rows[r].ms[i];
        } else {
          json << "null";
        }
      }
      json << "]}";
    }
    json << "], \"word_10mb_ms\": " << word_ms << ", \"peak_rss_kb\": " << usage.ru_maxrss << "}\n";
  }
  return 0;
}
