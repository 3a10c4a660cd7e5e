#!/usr/bin/env python3
"""Hand-made mutation run: applies each mutant below to the sources in turn, rebuilds, runs the
suites that can see it and records which suites (and which tests) fail. A suite that fails, or
runs past its time limit, kills the mutant. Every file is put back as it was afterwards.

    python3 scripts/mutants.py run [--only ID,ID...] [--out FILE.json]
    python3 scripts/mutants.py compare FULL.json CUT.json

C++ mutants rebuild the GoogleTest executables in build/mutants and run the ones linked against
the mutated layer (the timing tests are left out: their verdict depends on the machine's load).
Mutants in python/velk run the pytest suites that use the package, with PYTHONPATH=python and
the extension module installed in .venv (VELK_PYTHON names another interpreter). `compare`
lists the mutants the first run killed and the second did not; it exits non-zero if any.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "mutants"
TIMING_TESTS = "-*.WorkGrowsLinearlyWithLength"

# The GoogleTest executables linked against each core layer's sources.
ALL_CPP = ["velk_base_tests", "velk_tokens_tests", "velk_patterns_tests", "velk_lexicon_tests",
           "velk_session_tests", "velk_pipeline_tests"]
LAYER_SUITES = {
    "base": ALL_CPP,
    "tokens": ["velk_tokens_tests", "velk_session_tests", "velk_pipeline_tests"],
    "patterns": ["velk_patterns_tests", "velk_pipeline_tests"],
    "lexicon": ["velk_lexicon_tests", "velk_pipeline_tests"],
    "session": ["velk_session_tests"],
    "pipeline": ["velk_pipeline_tests"],
}
FILE_LAYER = {
    "unicode": "base", "code_regions": "base", "token_syntax": "base", "regex": "base",
    "entity": "base", "tech_allowlist": "base",
    "text_table": "tokens", "token_map": "tokens", "substitution_rules": "tokens",
    "literal_substitution": "tokens",
    "substitution": "tokens", "fast_substitution": "tokens",
    "pattern_search": "patterns", "candidate_scans": "patterns", "pattern_extractors": "patterns",
    "lexicons": "lexicon", "lexicon_recognizer": "lexicon",
    "session_json": "session", "pipeline": "pipeline",
}
# The pytest suites that use the pure-Python package.
PY_SUITES = ["test_stream_restore.py", "test_conversation.py", "test_pickling.py",
             "test_cli.py", "test_readme.py", "test_extra.py"]


@dataclass(frozen=True)
class Mutant:
    id: str
    path: str
    old: str
    new: str


def M(id: str, path: str, old: str, new: str) -> Mutant:  # noqa: N802 - reads like a table row
    return Mutant(id, path, old, new)


V = "src/velk/"
P = "python/velk/"
MUTANTS = [
    # Pair order and the matching rules shared by both substitutions.
    M("rules-shortest-first", V + "substitution_rules.cpp",
      "keyed.push_back({longest - text.size(), head, item});",
      "keyed.push_back({text.size(), head, item});"),
    M("rules-tie-order", V + "substitution_rules.cpp",
      "return text_of(a.item) < text_of(b.item);", "return text_of(a.item) > text_of(b.item);"),
    M("rules-tie-order-head", V + "substitution_rules.cpp",
      "return static_cast<std::size_t>((k.head >> shift) & 255);",
      "return static_cast<std::size_t>(255 - ((k.head >> shift) & 255));"),
    M("rules-few-items-shortest-first", V + "substitution_rules.cpp",
      "if (a.shortness != b.shortness) return a.shortness < b.shortness;",
      "if (a.shortness != b.shortness) return a.shortness > b.shortness;"),
    M("rules-few-items-head-descending", V + "substitution_rules.cpp",
      "if (a.head != b.head) return a.head < b.head;",
      "if (a.head != b.head) return a.head > b.head;"),
    M("rules-short-capitals-2", V + "substitution_rules.cpp",
      "entity.size() <= 3 &&", "entity.size() <= 2 &&"),
    M("rules-restore-token-texts", V + "substitution_rules.cpp",
      "if (!token.empty() && !find_token(entity))", "if (!token.empty())"),
    M("rules-no-closing-boundary-test", V + "substitution_rules.cpp",
      "return !entity.empty() && is_boundary_word_char(char_before(entity, entity.size()));",
      "return !entity.empty();"),
    M("rules-ascii-underscore", V + "substitution_rules.cpp",
      "if (c < 0x80) return is_ascii_word_byte(static_cast<char>(c));",
      "if (c < 0x80) return is_ascii_alnum(static_cast<char>(c));"),
    # The literal reference.
    M("literal-empty-token-joins", V + "literal_substitution.cpp",
      "if (span.start < end && start < span.end) return true;",
      "if (span.start < end && start < span.end && span.start != span.end) return true;"),
    M("literal-no-blocking", V + "literal_substitution.cpp",
      "return start == 0 || !blocks_match(char_before(text, start));", "return true;"),
    M("literal-code-substituted", V + "literal_substitution.cpp",
      "out.append(text.substr(region.start, region.end - region.start));",
      "out.append(substitute_segment(text.substr(region.start, region.end - region.start), pairs));"),
    M("literal-overlapping-resume", V + "literal_substitution.cpp",
      "from = end;", "from = start + 1;"),
    # The fast substitution.
    M("fast-ascii-case-sensitive", V + "fast_substitution.cpp",
      "if (c < 0x80) return static_cast<unsigned char>(ascii_lower(static_cast<char>(c)));",
      "if (c < 0x80) return c;"),
    M("fast-ascii-text-unfolded", V + "fast_substitution.cpp",
      "std::transform(text.begin(), text.end(), std::back_inserter(folded), ascii_lower);",
      "folded.assign(text);"),
    M("fast-overlap-resume", V + "fast_substitution.cpp",
      "if (o.start < resume || overlaps_replaced(o.start, o.end)) continue;",
      "if (overlaps_replaced(o.start, o.end)) continue;"),
    M("fast-short-capitals-caseless", V + "fast_substitution.cpp",
      "if (!info.case_sensitive) return true;", "return true;"),
    M("fast-passed-over-after-occurrence", V + "fast_substitution.cpp",
      "      look(o.end);\n", ""),
    M("fast-passed-over-self-overlap", V + "fast_substitution.cpp",
      "if (shift <= o.start) look(o.start - shift);", ""),
    M("fast-ascii-boundary-only", V + "fast_substitution.cpp",
      "if (next && is_boundary_word_char(*next)) continue;",
      "if (next && *next < 0x80 && is_boundary_word_char(*next)) continue;"),
    M("fast-token-never-blocks", V + "fast_substitution.cpp",
      "if (!r.text.empty()) return blocks_match(static_cast<unsigned char>(r.text.back()));",
      "if (!r.text.empty()) return false;"),
    M("fast-token-not-next", V + "fast_substitution.cpp",
      "if (!r.text.empty()) return decode_utf8(r.text, 0).code_point;",
      "if (!r.text.empty()) return std::nullopt;"),
    M("fast-halves-gap", V + "fast_substitution.cpp",
      "second_ok = scan_part(middle, folded_size_, limit / 2, second_found);",
      "second_ok = scan_part(middle + 1, folded_size_, limit / 2, second_found);"),
    M("fast-stretch-halves-drop-second", V + "substitution.cpp",
      "for (const auto& run : runs) {\n    for (const Replacement& r : run) {",
      "for (const auto& run : std::span(runs).first(1)) {\n    for (const Replacement& r : run) {"),
    M("fast-filter-stops-early", V + "fast_substitution.cpp",
      "mark(level, prefix_hash(folded.data(), kAnchorLengths[level]), kLonger);", ""),
    M("fast-two-bytes-one-byte-texts", V + "fast_substitution.cpp",
      "for (std::size_t next = 0; next < 256; ++next) two_bytes_[first + 256 * next] |= kOneByte;",
      "two_bytes_[first] |= kOneByte;"),
    M("fast-radix-sort-unstable", V + "fast_substitution.cpp",
      "for (const Occurrence& o : found_) sorted[next[(o.pair >> shift) & 255]++] = o;",
      "for (auto o = found_.rbegin(); o != found_.rend(); ++o) sorted[next[(o->pair >> shift) & 255]++] = *o;"),
    M("fast-insertion-sort-unstable", V + "fast_substitution.cpp",
      "found_[j - 1].pair > o.pair;", "found_[j - 1].pair >= o.pair;"),
    M("fast-radix-sort-low-byte", V + "fast_substitution.cpp",
      "shift < 32 && (highest >> shift) != 0", "shift < 8 && (highest >> shift) != 0"),
    M("table-views-move", V + "text_table.cpp",
      "units_.push_back(blocks_.back().get() + unit * kUnit);",
      "units_.push_back(blocks_.back().get());"),
    M("table-assign-keeps-old", V + "text_table.cpp",
      "entry.value_at = store(value);", "store(value);"),
    M("fast-tie-order", V + "fast_substitution.cpp",
      "return x.size() != y.size() ? x.size() > y.size() : x < y;",
      "return x.size() != y.size() ? x.size() > y.size() : x > y;"),
    M("fast-fallback-skips-overlaps", V + "fast_substitution.cpp",
      "at = text.find(folded, at + utf8_sequence_length(static_cast<unsigned char>(text[at])))",
      "at = text.find(folded, at + folded.size())"),
    # Token syntax.
    M("token-small-letters", V + "token_syntax.cpp",
      "while (p < text.size() && is_ascii_capital(text[p])) ++p;",
      "while (p < text.size() && is_ascii_letter(text[p])) ++p;"),
    M("token-empty-prefix", V + "token_syntax.cpp",
      "if (p == open + 1 || p >= text.size()", "if (p >= text.size()"),
    M("token-number-64-bit", V + "token_syntax.cpp",
      "std::uint32_t value = 0;", "std::uint64_t value = 0;"),
    M("token-ascii-digits-only", V + "token_syntax.cpp",
      "if (!is_decimal_digit(ch.code_point)) break;",
      "if (ch.code_point >= 0x80 || !is_decimal_digit(ch.code_point)) break;"),
    M("token-whole-prefix", V + "token_syntax.cpp",
      "return token && token->end == text.size();", "return token.has_value();"),
    # Code regions.
    M("code-four-spaces", V + "code_regions.cpp",
      "std::size_t limit = p + 3;", "std::size_t limit = p + 4;"),
    M("code-close-exact-run", V + "code_regions.cpp",
      "if (run_length(text, f, c) >= n) return", "if (run_length(text, f, c) == n) return"),
    M("code-any-backslash-escapes", V + "code_regions.cpp",
      "if (backslashes % 2 == 0) return {true, q};", "if (backslashes == 0) return {true, q};"),
    M("code-two-char-fence", V + "code_regions.cpp", "if (n >= 3) {", "if (n >= 2) {"),
    M("code-span-crosses-lines", V + "code_regions.cpp",
      "if (ch == '\\n') return {false, q};", "if (ch == '\\r') return {false, q};"),
    # Unicode helpers.
    M("unicode-180e-white", V + "unicode.cpp",
      "case 0x1680: case 0x2028:", "case 0x1680: case 0x180E: case 0x2028:"),
    M("unicode-no-zwj", V + "unicode.cpp",
      "if (c == 0x200C || c == 0x200D) return true;", "if (c == 0x200C) return true;"),
    M("unicode-spacing-mark", V + "unicode.cpp", "    case U_COMBINING_SPACING_MARK:\n", ""),
    M("unicode-previous-char", V + "unicode.cpp",
      "while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;",
      "while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xE0) == 0x80) --start;"),
    M("unicode-surrogates-valid", V + "unicode.cpp", "if (lead == 0xED) high = 0x9F;", ""),
    M("unicode-first-ascii-unlowered", V + "unicode.cpp",
      "for (std::size_t i = base; i < out.size(); ++i) out[i] = ascii_lower(out[i]);",
      "for (std::size_t i = base + 1; i < out.size(); ++i) out[i] = ascii_lower(out[i]);"),
    # Token numbering.
    M("map-variant-last-in-byte-order", V + "token_map.cpp",
      "} else if (key < table_.entry(slots_[slot] - 1).first) {",
      "} else if (key > table_.entry(slots_[slot] - 1).first) {"),
    M("map-first-layer-variant", V + "token_map.cpp",
      "if (found && (!variant || found->first < variant->first)) variant = found;",
      "if (found && !variant) variant = found;"),
    M("map-counter-last-not-max", V + "token_map.cpp",
      "counter->second = std::max(counter->second, parse_token_number(token->number));",
      "counter->second = parse_token_number(token->number);"),
    M("map-numbers-from-zero", V + "token_map.cpp",
      "token = make_token(prefix, ++counter->second);",
      "token = make_token(prefix, counter->second++);"),
    M("map-ascii-only-variants", V + "token_map.cpp",
      "if (!is_ascii(key)) wanted = lower ? std::string_view(*lower) : (owned = to_lower(key));",
      ""),
    M("map-size-on-assign", V + "token_map.cpp",
      "if (!contains(key)) ++size_;", "++size_;"),
    # One anonymize call.
    M("pipeline-block-exact-case", V + "pipeline.cpp",
      "if (blocked_lower.contains(lexicon_found_lower[i])) continue;",
      "if (blocked_lower.contains(lexicon_found[i].text)) continue;"),
    M("pipeline-custom-case-sensitive", V + "pipeline.cpp",
      "if (text_lower.find(custom_lower[i]) != std::string::npos) {",
      "if (text.find(custom_entities[i].text) != std::string::npos) {"),
    M("pipeline-custom-not-blocking", V + "pipeline.cpp",
      "        found_lower.insert(custom_lower[i]);\n", ""),
    M("pipeline-project-places-offset", V + "pipeline.cpp",
      "{pattern_count + lexicon_entities.size() + custom_hits.size(), std::move(project_places)}",
      "{pattern_count + lexicon_entities.size(), std::move(project_places)}"),
    M("pipeline-reuse-ignores-reserved", V + "pipeline.cpp",
      "if (existing && reserved.empty() && std::ranges::all_of",
      "if (existing && std::ranges::all_of"),
    M("pipeline-no-reservation", V + "pipeline.cpp",
      "for (const std::string_view token : reserved) base.reverse.emplace(token, token);", ""),
    # The pattern pass.
    M("patterns-secret-letter-or-digit", V + "pattern_extractors.cpp",
      "return has_digit && has_letter;", "return has_digit || has_letter;"),
    M("patterns-domain-after-at", V + "pattern_extractors.cpp",
      "return before != '.' && before != '@' && !is_ascii_alnum(text[span.start - 1]);",
      "return before != '.' && !is_ascii_alnum(text[span.start - 1]);"),
    M("patterns-handle-after-dot", V + "pattern_extractors.cpp",
      "return before != '.' && !is_ascii_alnum(before);", "return !is_ascii_alnum(before);"),
    M("patterns-two-char-minimum", V + "pattern_extractors.cpp",
      "if (trimmed.size() < 3) return;", "if (trimmed.size() < 2) return;"),
    M("patterns-secret-keeps-slash", V + "pattern_extractors.cpp",
      "while (text[whole.end - 1] == '+' || text[whole.end - 1] == '/') --whole.end;",
      "while (text[whole.end - 1] == '+') --whole.end;"),
    M("patterns-exclude-exact-case", V + "pattern_extractors.cpp",
      "if (exclude_texts.contains(lower)) continue;",
      "if (exclude_texts.contains(match)) continue;"),
    M("patterns-covered-end", V + "pattern_extractors.cpp",
      "offset < std::prev(after)->end;", "offset <= std::prev(after)->end;"),
    # Candidate scans before the engine.
    M("scans-domain-label-4", V + "candidate_scans.cpp",
      "if (dot - start >= 3 && search.try_at", "if (dot - start >= 4 && search.try_at"),
    M("scans-secret-run-longer", V + "candidate_scans.cpp",
      "if (pos - run >= kSecretRunMin) {", "if (pos - run > kSecretRunMin) {"),
    M("scans-phone-digits-short-tail", V + "candidate_scans.cpp",
      "return digits >= kPhoneDigitsMin;", "return digits > kPhoneDigitsMin;"),
    M("scans-camel-three-small", V + "candidate_scans.cpp",
      "if (capital - small < 2 ||", "if (capital - small < 3 ||"),
    M("scans-octet-two-digits", V + "candidate_scans.cpp",
      "while (count < kOctetDigitsMax && pos > from) {",
      "while (count + 1 < kOctetDigitsMax && pos > from) {"),
    # The lexicon recognizer.
    M("lexicon-bracket-not-wrapper", V + "lexicon_recognizer.cpp",
      "return c == '(' || c == '[' || c == '\"' || c == '\\'';",
      "return c == '(' || c == '\"' || c == '\\'';"),
    M("lexicon-tech-terms-reported", V + "lexicon_recognizer.cpp",
      "if (text.size() <= 1 || is_tech_term(text)) return;", "if (text.size() <= 1) return;"),
    M("lexicon-place-shape-3", V + "lexicon_recognizer.cpp",
      "return word.lowered().size() > 3 ||", "return word.lowered().size() >= 3 ||"),
    M("lexicon-honorific-window-4", V + "lexicon_recognizer.cpp",
      "end < i + 4 &&", "end < i + 5 &&"),
    M("lexicon-trims-quotes", V + "lexicon_recognizer.cpp",
      "return is_ascii_punctuation(c) && c != '\"' && c != '\\'';",
      "return is_ascii_punctuation(c) && c != '\\'';"),
    M("lexicon-code-comma-ignored", V + "lexicon_recognizer.cpp",
      "return !t.raw.ends_with(',') && next != nullptr", "return next != nullptr"),
    M("lexicon-surname-place", V + "lexicon_recognizer.cpp",
      "!next->has_role(kRoleOrgSuffix | kRoleSingleWordPlace)",
      "!next->has_role(kRoleOrgSuffix)"),
    # The session reader and writer.
    M("session-backslash-unescaped", V + "session_json.cpp",
      "if (byte >= 0x20 && byte != '\"' && byte != '\\\\') continue;",
      "if (byte >= 0x20 && byte != '\"') continue;"),
    M("session-version-1-refused", V + "session_json.cpp",
      "if (version_ > SESSION_FORMAT_VERSION)", "if (version_ >= SESSION_FORMAT_VERSION)"),
    M("session-duplicate-version", V + "session_json.cpp",
      "if (field >= 0 && seen[field]) {", "if (field > 0 && seen[field]) {"),
    M("session-minus-zero", V + "session_json.cpp",
      "if (literal == \"-0\") {", "if (literal == \"-1\") {"),
    M("session-trailing-comma-object", V + "session_json.cpp",
      "if (!at_end() && peek() == '}') return fail_at_next(\"trailing comma\");", ""),
    M("session-upper-hex", V + "session_json.cpp",
      "if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;",
      "if (ch >= 'A' && ch <= 'F') return ch - 'A' + 11;"),
    M("session-shown-65", V + "session_json.cpp",
      "while (end < text.size() && chars < kMaxShownChars) {",
      "while (end < text.size() && chars <= kMaxShownChars) {"),
    M("session-column-bytes", V + "session_json.cpp",
      "const std::size_t column = count_chars(consumed.substr(line_start));",
      "const std::size_t column = consumed.size() - line_start;"),
    # The velk package.
    M("py-stream-holds-less", P + "stream.py",
      "for start in range(max(0, n - self.longest + 1), n):",
      "for start in range(max(0, n - self.longest + 2), n):"),
    M("py-stream-holds-token-texts", P + "stream.py",
      "if key and not _TOKEN_IN_ENTITY.search(entity)", "if key"),
    M("py-stream-holds-more", P + "stream.py",
      "if text[start] in self.first_chars and text[start:] in self.prefixes:",
      "if text[start] in self.first_chars:"),
    M("py-session-mode", P + "session.py",
      "SESSION_FILE_MODE = 0o600", "SESSION_FILE_MODE = 0o644"),
    M("py-session-saves-only-new-files", P + "session.py",
      "if latest is None or len(result.token_map) != len(base):", "if latest is None:"),
    M("py-files-mode-not-kept", P + "_files.py",
      "os.fchmod(fd, os.stat(target).st_mode & 0o7777)", "os.stat(target)"),
    M("py-pickle-wrong-kind", P + "pickling.py",
      "(_TYPE_NAMES[int(value)],)", "(_TYPE_NAMES[int(value) - 1],)"),
    M("py-session-broken-read-as-missing", P + "session.py",
      "            if self.exists():\n                raise",
      "            if False:\n                raise"),
    M("py-cli-tokens-numbers-unsorted", P + "cli.py",
      "return (kinds.get(match[1], unknown)[0], int(match[2]), token)",
      "return (kinds.get(match[1], unknown)[0], 0, token)"),
    M("py-cli-progress-for-one-file", P + "cli.py",
      "if len(items) > 1 and sys.stderr", "if len(items) > 0 and sys.stderr"),
    M("py-cli-stream-offset-ignores-pending", P + "cli.py",
      "consumed - pending + error.start", "consumed + error.start"),
    M("py-extra-repeats-module-findings", P + "extra.py",
      "known = {entity.text.lower() for entity in result.entities}", "known: set[str] = set()"),
    M("py-extra-keeps-names-inside-words", P + "extra.py",
      "new = [entity for entity in new if not _inside_a_word(text, entity.text)]",
      "new = list(new)"),
]


def python_interpreter() -> str:
    return os.environ.get("VELK_PYTHON", str(ROOT / ".venv" / "bin" / "python"))


def tool(name: str) -> str:
    local = Path(python_interpreter()).parent / name
    return str(local) if local.exists() else name


def build() -> bool:
    if not (BUILD / "build.ninja").exists():
        subprocess.run([tool("cmake"), "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
                        f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", "-DVELK_BUILD_MODULE=OFF",
                        "-DVELK_BUILD_TESTS=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                       check=True, stdout=subprocess.DEVNULL)
    done = subprocess.run([tool("ninja"), "-C", str(BUILD), "-j2"], capture_output=True, text=True)
    return done.returncode == 0


def run_cpp(suite: str, timeout: float) -> list[str] | None:
    """The failed tests of one executable, or None when it passed."""
    try:
        done = subprocess.run([str(BUILD / suite), f"--gtest_filter={TIMING_TESTS}",
                               "--gtest_brief=1"], capture_output=True, text=True,
                              errors="replace", timeout=timeout)
    except subprocess.TimeoutExpired:
        return ["<timeout>"]
    if done.returncode == 0:
        return None
    failed = sorted(set(re.findall(r"^\[  FAILED  \] (\w+(?:/\w+)?\.\w+)", done.stdout, re.M)))
    return failed or [f"<exit {done.returncode}>"]


def run_pytest(suite: str, timeout: float) -> list[str] | None:
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    try:
        done = subprocess.run([python_interpreter(), "-m", "pytest", "-q", "-x",
                               "-p", "no:cacheprovider", suite], cwd=ROOT / "tests" / "python",
                              env=env, capture_output=True, text=True, errors="replace",
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return ["<timeout>"]
    if done.returncode == 0:
        return None
    failed = sorted(set(re.findall(r"^FAILED (\S+)", done.stdout, re.M)))
    return failed or [f"<exit {done.returncode}>"]


def suites_of(mutant: Mutant) -> list[str]:
    if mutant.path.endswith(".py"):
        return PY_SUITES
    return LAYER_SUITES[FILE_LAYER[Path(mutant.path).stem]]


def baseline_times(suites: list[str]) -> dict[str, float]:
    """Seconds per suite on the unmutated sources; every suite must pass there."""
    times = {}
    for suite in suites:
        start = time.monotonic()
        failed = run_pytest(suite, 1800) if suite.endswith(".py") else run_cpp(suite, 1800)
        if failed is not None:
            sys.exit(f"{suite} fails without any mutant: {failed}")
        times[suite] = time.monotonic() - start
    return times


def command_run(args: argparse.Namespace) -> int:
    chosen = [m for m in MUTANTS if not args.only or m.id in args.only.split(",")]
    ids = [m.id for m in MUTANTS]
    assert len(set(ids)) == len(ids), "mutant ids repeat"
    for m in chosen:
        count = (ROOT / m.path).read_text().count(m.old)
        assert count == 1, f"{m.id}: the text to replace occurs {count} times in {m.path}"
    if any(not m.path.endswith(".py") for m in chosen) and not build():
        sys.exit("the unmutated sources do not build")
    needed = sorted({s for m in chosen for s in suites_of(m)})
    times = baseline_times(needed)
    print("baseline seconds:", {s: round(t, 1) for s, t in times.items()}, flush=True)
    results = []
    for m in chosen:
        path = ROOT / m.path
        original = path.read_text()
        started = time.monotonic()
        try:
            path.write_text(original.replace(m.old, m.new))
            if m.path.endswith(".py"):
                built = True
            else:
                built = build()
            killers: dict[str, list[str]] = {}
            if built:
                for suite in suites_of(m):
                    limit = max(60.0, 5 * times[suite])
                    runner = run_pytest if suite.endswith(".py") else run_cpp
                    failed = runner(suite, limit)
                    if failed is not None:
                        killers[suite] = failed
        finally:
            path.write_text(original)
            os.utime(path)  # newer than the mutant's objects, so the next build redoes them
        status = "killed" if killers else ("survived" if built else "does-not-build")
        results.append({"id": m.id, "path": m.path, "status": status, "killers": killers})
        if args.out:  # as it goes, so that an interrupted run keeps what it found
            Path(args.out).write_text(json.dumps({"results": results}, indent=1))
        print(f"{m.id:36} {status:15} {time.monotonic() - started:6.1f}s "
              + " ".join(f"{s}:{len(t)}" for s, t in killers.items()), flush=True)
    if any(not m.path.endswith(".py") for m in chosen):
        build()
    summary = summarize(results)
    print(summary)
    if args.out:
        Path(args.out).write_text(json.dumps({"results": results}, indent=1))
    return 0


def summarize(results: list[dict]) -> str:
    killed = [r for r in results if r["status"] == "killed"]
    lines = [f"mutants: {len(results)}, killed: {len(killed)}, survived: "
             f"{sum(r['status'] == 'survived' for r in results)}, not building: "
             f"{sum(r['status'] == 'does-not-build' for r in results)}"]
    per_suite: dict[str, list[str]] = {}
    for r in killed:
        for suite in r["killers"]:
            per_suite.setdefault(suite, []).append(r["id"])
    for suite, ids in sorted(per_suite.items()):
        lines.append(f"  {suite}: kills {len(ids)}: {', '.join(ids)}")
    survivors = [r["id"] for r in results if r["status"] == "survived"]
    if survivors:
        lines.append("  survived: " + ", ".join(survivors))
    return "\n".join(lines)


def command_compare(args: argparse.Namespace) -> int:
    full = {r["id"]: r for r in json.loads(Path(args.full).read_text())["results"]}
    cut = {r["id"]: r for r in json.loads(Path(args.cut).read_text())["results"]}
    killed_full = {i for i, r in full.items() if r["status"] == "killed"}
    killed_cut = {i for i, r in cut.items() if r["status"] == "killed"}
    lost = sorted(killed_full - killed_cut)
    print(f"full suite kills {len(killed_full)} of {len(full)}; cut suite kills "
          f"{len(killed_cut)} of {len(cut)}; killed only by the full suite: {len(lost)}")
    for i in lost:
        print(f"  {i}: full suite's killers {full[i]['killers']}")
    return 1 if lost else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run")
    run.add_argument("--only", help="comma-separated mutant ids")
    run.add_argument("--out", help="write the results as JSON here")
    run.set_defaults(handler=command_run)
    compare = commands.add_parser("compare")
    compare.add_argument("full")
    compare.add_argument("cut")
    compare.set_defaults(handler=command_compare)
    args = parser.parse_args()
    return args.handler(args)


if __name__ == "__main__":
    sys.exit(main())
