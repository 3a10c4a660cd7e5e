// Benchmark of the forward and reverse substitution, literal against fast, on a generated text
// of 100 KB (fixed seed) with maps of 100, 1,000 and 10,000 entries, and on a chat-sized message
// (the first kilobyte of that text) with the same maps. Every measurement runs in a child
// process of its own; the memory reported is the child's peak resident size above that of a
// child that does nothing at the same point, that is, what one algorithm on one input adds. The
// children also check that the fast result equals the literal one.
//
// Build, from the repository root, against a Release tree of the core libraries:
//   cmake -S . -B build-fast/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELK_BUILD_MODULE=OFF
//   ninja -C build-fast/release velk_tokens
//   L=build-fast/release
//   g++ -std=c++20 -O2 -DNDEBUG -Wall -Wextra -Wpedantic -Isrc bench/substitution_bench.cpp
//       $L/libvelk_tokens.a $L/libvelk_base.a -lpcre2-8 -licuuc -o $L/substitution_bench
// (the g++ command is one line, shown on two). Run:
//   build-fast/release/substitution_bench [results.json]
// The table goes to standard output, the same results as JSON to the file named (default
// substitution_bench.json in the current directory).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "velk/entity.h"
#include "velk/literal_substitution.h"
#include "velk/substitution.h"
#include "velk/token_map.h"

namespace {

constexpr std::uint32_t kSeed = 424242;
constexpr std::size_t kTextBytes = 100 * 1024;
constexpr std::size_t kLargestMap = 10000;

std::string capitalised(std::string word) {
  if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 32);
  return word;
}

// Distinct entity texts of several kinds, the way detection produces them: names, places,
// organisations, e-mail addresses, handles, a few non-ASCII names.
std::vector<velk::Entity> generate_entities(std::mt19937& rng) {
  static const std::vector<std::string> syllables = {
      "al", "an", "ar", "be", "bo", "ca", "da", "de", "el", "en", "fa", "ga", "ha", "is",
      "ja", "ka", "la", "li", "lo", "ma", "mi", "na", "ne", "no", "or", "pa", "ra", "ri",
      "ro", "sa", "se", "ta", "ti", "to", "va", "ve", "wi", "ya", "ze", "zo"};
  static const std::vector<std::string> accents = {"é", "ø", "ü", "ñ", "ł", "ß"};
  const auto word = [&](int parts) {
    std::string w;
    for (int k = 0; k < parts; ++k) w += syllables[rng() % syllables.size()];
    if (rng() % 12 == 0) w += accents[rng() % accents.size()];
    return w;
  };
  std::set<std::string> seen;
  std::vector<velk::Entity> entities;
  while (entities.size() < kLargestMap) {
    velk::Entity entity;
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2:
        entity = {capitalised(word(2 + rng() % 2)) + " " + capitalised(word(2 + rng() % 2)),
                  velk::EntityType::Person};
        break;
      case 3:
        entity = {capitalised(word(2 + rng() % 2)), velk::EntityType::Person};
        break;
      case 4:
        entity = {capitalised(word(2 + rng() % 3)), velk::EntityType::Place};
        break;
      case 5:
        entity = {capitalised(word(2)) + capitalised(word(2)) + " Inc", velk::EntityType::Org};
        break;
      case 6:
        entity = {word(2) + "." + word(2) + "@example.com", velk::EntityType::Email};
        break;
      default:
        entity = {"@" + word(3), velk::EntityType::Handle};
        break;
    }
    if (seen.insert(entity.text).second) entities.push_back(std::move(entity));
  }
  return entities;
}

// Prose with entity mentions (some in other case), about one mention in ten words, with a few
// inline code spans and fenced blocks. Mentions favour the first entities, so that every map
// size has matches: half come from the first 100, a third from the first 1,000.
std::string generate_text(std::mt19937& rng, const std::vector<velk::Entity>& entities) {
  static const std::vector<std::string> words = {
      "the",    "deploy", "failed", "again", "after",  "we",      "merged", "branch",
      "review", "please", "check",  "logs",  "about",  "meeting", "with",   "and",
      "for",    "today",  "update", "on",    "ticket", "build",   "server", "cache",
      "python", "rust",   "query",  "slow",  "notes",  "from",    "asked",  "ship"};
  std::string text;
  while (text.size() < kTextBytes) {
    const unsigned roll = rng() % 100;
    if (roll < 10) {
      std::size_t index = rng() % 100;
      const unsigned band = rng() % 6;
      if (band >= 3 && band < 5) index = rng() % 1000;
      if (band == 5) index = rng() % entities.size();
      std::string mention = entities[index].text;
      if (rng() % 10 == 0) {
        for (char& ch : mention) {
          if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
        }
      }
      text += mention;
    } else if (roll < 11) {
      text += "`" + words[rng() % words.size()] + "()`";
    } else if (roll == 11 && rng() % 8 == 0) {
      text += "\n```\nrun " + words[rng() % words.size()] + " --fast\n```\n";
    } else {
      text += words[rng() % words.size()];
    }
    text += (rng() % 12 == 0) ? ".\n" : (rng() % 9 == 0 ? ", " : " ");
  }
  return text;
}

struct Measurement {
  double seconds_per_call = 0;
  std::size_t calls = 0;
  long peak_kib = 0;
  bool same_as_literal = true;
};

// Runs `work` in a child process: at least `min_calls` calls and until a quarter second has
// passed. The child reports its time per call and whether its result equals `reference`.
Measurement measure(const std::function<std::string()>& work, const std::string* reference,
                    std::size_t min_calls) {
  int channel[2];
  if (pipe(channel) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    std::string result = work();  // warm-up, and the result to compare
    std::size_t calls = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (calls < min_calls || elapsed < 0.25) {
      result = work();
      ++calls;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    Measurement m;
    m.seconds_per_call = elapsed / static_cast<double>(calls);
    m.calls = calls;
    m.same_as_literal = reference == nullptr || result == *reference;
    const ssize_t written = write(channel[1], &m, sizeof m);
    _exit(written == static_cast<ssize_t>(sizeof m) ? 0 : 1);
  }
  close(channel[1]);
  Measurement m;
  const ssize_t got = read(channel[0], &m, sizeof m);
  close(channel[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  if (got != static_cast<ssize_t>(sizeof m)) return {};
  m.peak_kib = usage.ru_maxrss;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string json_path = argc > 1 ? argv[1] : "substitution_bench.json";
  std::mt19937 rng(kSeed);
  const std::vector<velk::Entity> entities = generate_entities(rng);
  const std::string document = generate_text(rng, entities);
  const std::string message = document.substr(0, document.find(' ', 1024));

  std::printf("seed %u\n\n", kSeed);
  std::printf("%-8s %-8s %7s %-8s %12s %10s %10s %10s %8s\n", "input", "op", "entries", "algo",
              "ms/call", "MB/s", "+peak KiB", "speed-up", "equal");
  std::string json = "{\n  \"seed\": " + std::to_string(kSeed) + ",\n  \"results\": [";
  bool first_row = true;
  bool all_equal = true;
  for (const auto& [input, text] : {std::pair{"100KB", &document}, std::pair{"1KB", &message}}) {
    for (const std::size_t entries : {std::size_t{100}, std::size_t{1000}, kLargestMap}) {
      const velk::TokenMap map =
          velk::build_token_map(std::span<const velk::Entity>(entities.data(), entries), nullptr);
      const std::string anonymized = velk::apply_token_map_literal(*text, map);
      const std::string restored = velk::deanonymize_literal(anonymized, map);
      struct Operation {
        const char* name;
        std::function<std::string()> literal;
        std::function<std::string()> fast;
        const std::string* reference;
      };
      const Operation operations[] = {
          {"apply", [&] { return velk::apply_token_map_literal(*text, map); },
           [&] { return velk::apply_token_map(*text, map); }, &anonymized},
          {"restore", [&] { return velk::deanonymize_literal(anonymized, map); },
           [&] { return velk::deanonymize(anonymized, map); }, &restored},
      };
      for (const Operation& op : operations) {
        const Measurement idle = measure([] { return std::string(); }, nullptr, 1);
        const Measurement literal = measure(op.literal, op.reference, 1);
        const Measurement fast = measure(op.fast, op.reference, 3);
        all_equal = all_equal && fast.same_as_literal;
        const double megabytes = static_cast<double>(text->size()) / 1e6;
        for (const auto& [algo, m] : {std::pair{"literal", literal}, std::pair{"fast", fast}}) {
          const double speed_up = literal.seconds_per_call / m.seconds_per_call;
          std::printf("%-8s %-8s %7zu %-8s %12.3f %10.2f %10ld %9.1fx %8s\n", input, op.name,
                      entries, algo, m.seconds_per_call * 1e3, megabytes / m.seconds_per_call,
                      m.peak_kib - idle.peak_kib, speed_up, m.same_as_literal ? "yes" : "NO");
          char row[512];
          std::snprintf(row, sizeof row,
                        "%s\n    {\"input\": \"%s\", \"text_bytes\": %zu, \"operation\": \"%s\", "
                        "\"entries\": %zu, \"algorithm\": \"%s\", \"ms_per_call\": %.4f, "
                        "\"mb_per_s\": %.3f, \"calls\": %zu, \"extra_peak_kib\": %ld, "
                        "\"speed_up\": %.2f, \"equal_to_literal\": %s}",
                        first_row ? "" : ",", input, text->size(), op.name, entries, algo,
                        m.seconds_per_call * 1e3, megabytes / m.seconds_per_call, m.calls,
                        m.peak_kib - idle.peak_kib, speed_up, m.same_as_literal ? "true" : "false");
          json += row;
          first_row = false;
        }
      }
    }
  }
  json += "\n  ]\n}\n";
  std::ofstream(json_path) << json;
  std::printf("\nresults written to %s\n", json_path.c_str());
  return all_equal ? 0 : 1;
}
