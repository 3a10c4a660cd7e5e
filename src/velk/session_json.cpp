// Writing and reading the session document.
//
// The reader is a small strict JSON reader of our own rather than a general library's event
// interface: every fault must name the line and column where reading stopped, unknown members
// must be skipped whatever they hold (numbers of any length, nesting of any depth) without
// converting or building anything, and the map must never receive text that is not valid
// UTF-8. The document's shape is fixed and shallow, so the structural part is plain recursive
// descent of bounded depth; only skipping an unknown value meets unbounded nesting, and that
// loop keeps its own stack of open containers instead of recursing.
//
// Positions: lines count from 1 and only U+000A ends a line; the column is the 1-based
// position, in characters (code points), of the last character consumed when the fault was
// found. A character that was looked at to find the fault counts as consumed, so "expected
// `:`" points at the offending character and a fault at the end of input points just past the
// last character. Bytes that are not valid UTF-8 count as one character each.
#include "velk/session_json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "velk/ascii.h"
#include "velk/unicode.h"

namespace velk {

namespace {

constexpr std::string_view kMalformedPrefix = "session JSON is malformed: ";
// Found values quoted in a message are cut after this many characters, so that a hostile
// document cannot make the message as large as itself.
constexpr std::size_t kMaxShownChars = 64;

constexpr char kHexDigits[] = "0123456789abcdef";
// Characters with a two-character escape, and the letter that follows the backslash for each.
// The reader also takes "\/" for the slash, which the writer never escapes.
constexpr std::string_view kShortEscaped = "\"\\\b\f\n\r\t";
constexpr std::string_view kShortEscapeLetters = "\"\\bfnrt";

// Appends `text` with the document's escaping: quotation mark, backslash and the control
// characters below U+0020 escaped (the five with a short form use it, the rest \u00XX);
// everything else, the slash and U+007F included, verbatim.
void append_escaped(std::string& out, std::string_view text) {
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text, run_start, i - run_start);
    run_start = i + 1;
    out.push_back('\\');
    const std::size_t short_form = kShortEscaped.find(static_cast<char>(byte));
    if (short_form != std::string_view::npos) {
      out.push_back(kShortEscapeLetters[short_form]);
    } else {
      out.append("u00");
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 0xF]);
    }
  }
  out.append(text, run_start, text.size() - run_start);
}

// Members in ascending byte order of their names: writing, reading and writing again gives
// the same bytes, whatever order the hash table holds them in.
void append_table(std::string& out, const LayeredTable& table) {
  std::vector<LayeredTable::value_type> entries(table.begin(), table.end());
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  out.push_back('{');
  bool first = true;
  for (const auto& [key, value] : entries) {
    if (!first) out.push_back(',');
    first = false;
    out.push_back('"');
    append_escaped(out, key);
    out.append("\":\"");
    append_escaped(out, value);
    out.push_back('"');
  }
  out.push_back('}');
}

// Characters in `text`, each byte of an ill-formed sequence counting as one.
std::size_t count_chars(std::string_view text) {
  std::size_t count = 0;
  bool truncated = false;
  for (std::size_t pos = 0; pos < text.size(); ++count) {
    pos += std::max<std::size_t>(1, valid_utf8_length(text, pos, truncated));
  }
  return count;
}

// `text` escaped and cut to kMaxShownChars characters, for quoting in a message.
std::string shown(std::string_view text) {
  std::size_t end = 0;
  std::size_t chars = 0;
  bool truncated = false;
  while (end < text.size() && chars < kMaxShownChars) {
    end += std::max<std::size_t>(1, valid_utf8_length(text, end, truncated));
    ++chars;
  }
  std::string out;
  append_escaped(out, text.substr(0, end));
  if (end < text.size()) out.append("...");
  return out;
}

int hex_value(char ch) {
  if (is_ascii_digit(ch)) return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool is_json_white_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

// Reads one document. Every read_* function returns false after recording the first fault;
// the caller then returns false at once, so nothing after the fault is looked at.
class Reader {
 public:
  explicit Reader(std::string_view input) : in_(input) {}

  SessionResult read() {
    if (!read_session()) return SessionError::malformed(fault_ + position_of(fault_end_));
    skip_white_space();
    if (!at_end()) {
      fail_at_next("trailing characters");
      return SessionError::malformed(fault_ + position_of(fault_end_));
    }
    if (version_ > SESSION_FORMAT_VERSION) return SessionError::unsupported_version(version_);
    TokenMap map;
    map.forward = std::move(forward_);
    map.reverse = std::move(reverse_);
    return map;
  }

 private:
  using Names = std::array<std::string_view, 2>;

  bool at_end() const { return pos_ >= in_.size(); }
  char peek() const { return in_[pos_]; }

  void skip_white_space() {
    while (!at_end() && is_json_white_space(peek())) ++pos_;
  }

  // Records a fault whose last consumed character ends at `end`.
  bool fail(std::string description, std::size_t end) {
    fault_ = std::move(description);
    fault_end_ = end;
    return false;
  }
  // A fault found by looking at the next character, which then counts as consumed.
  bool fail_at_next(std::string description) {
    return fail(std::move(description), std::min(pos_ + 1, in_.size()));
  }
  bool fail_at_end(std::string description) { return fail(std::move(description), in_.size()); }

  std::string position_of(std::size_t end) const {
    const std::string_view consumed = in_.substr(0, end);
    const std::size_t newline = consumed.rfind('\n');
    const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
    const auto line = 1 + std::count(consumed.begin(), consumed.end(), '\n');
    const std::size_t column = count_chars(consumed.substr(line_start));
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
  }

  // The top level: a SerializedSession as an object or as a two-element array.
  bool read_session() {
    const Names names = {"version", "tokenMap"};
    auto read_field = [this](int field) { return field == 0 ? read_version() : read_token_map(); };
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing a value");
    if (peek() == '{') return read_struct_object(names, read_field);
    if (peek() == '[') {
      return read_struct_array("struct SerializedSession with 2 elements", read_field);
    }
    return read_unexpected("struct SerializedSession");
  }

  bool read_token_map() {
    const Names names = {"forward", "reverse"};
    auto read_field = [this](int field) {
      return read_table(field == 0 ? forward_ : reverse_);
    };
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing a value");
    if (peek() == '{') return read_struct_object(names, read_field);
    if (peek() == '[') return read_struct_array("struct TokenMap with 2 elements", read_field);
    return read_unexpected("struct TokenMap");
  }

  // An object with the two members `names` in any order and any others skipped. A repeated
  // member is refused as soon as its name is read; missing ones after the closing brace, the
  // first name first.
  template <typename ReadField>
  bool read_struct_object(const Names& names, ReadField read_field) {
    std::array<bool, 2> seen = {false, false};
    ++pos_;  // '{'
    skip_white_space();
    if (!at_end() && peek() == '}') {
      ++pos_;
    } else {
      while (true) {
        if (!read_member_name(name_)) return false;
        const int field = name_ == names[0] ? 0 : name_ == names[1] ? 1 : -1;
        if (field >= 0 && seen[field]) {
          return fail("duplicate field `" + std::string(names[field]) + "`", pos_);
        }
        if (!read_colon()) return false;
        if (field < 0) {
          if (!skip_value()) return false;
        } else {
          seen[field] = true;
          if (!read_field(field)) return false;
        }
        bool closed = false;
        if (!read_object_separator(closed)) return false;
        if (closed) break;
      }
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!seen[i]) return fail("missing field `" + std::string(names[i]) + "`", pos_);
    }
    return true;
  }

  // An array of exactly two elements, read by read_field(0) and read_field(1).
  template <typename ReadField>
  bool read_struct_array(std::string_view expected, ReadField read_field) {
    ++pos_;  // '['
    for (int index = 0; index < 2; ++index) {
      skip_white_space();
      if (at_end()) return fail_at_end("EOF while parsing a list");
      if (peek() == ']') {
        ++pos_;
        return fail(
            "invalid length " + std::to_string(index) + ", expected " + std::string(expected),
            pos_);
      }
      if (index > 0) {
        if (peek() != ',') return fail_at_next("expected `,` or `]`");
        ++pos_;
        skip_white_space();
        if (at_end()) return fail_at_end("EOF while parsing a list");
        if (peek() == ']') return fail_at_next("trailing comma");
      }
      if (!read_field(index)) return false;
    }
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing a list");
    if (peek() == ']') {
      ++pos_;
      return true;
    }
    if (peek() != ',') return fail_at_next("expected `,` or `]`");
    ++pos_;
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing a list");
    if (peek() == ']') return fail_at_next("trailing comma");
    return fail_at_next("trailing characters");
  }

  // A table: an object whose values are all strings; a later duplicate name replaces the
  // earlier value.
  bool read_table(TextTable& table) {
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing a value");
    if (peek() != '{') return read_unexpected("a map");
    ++pos_;
    skip_white_space();
    if (!at_end() && peek() == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      std::string key;
      if (!read_member_name(key)) return false;
      if (!read_colon()) return false;
      skip_white_space();
      if (at_end()) return fail_at_end("EOF while parsing a value");
      if (peek() != '"') return read_unexpected("a string");
      std::string value;
      if (!read_string(&value)) return false;
      table.insert_or_assign(key, value);
      bool closed = false;
      if (!read_object_separator(closed)) return false;
      if (closed) return true;
    }
  }

  // The version: an integer literal from 0 to 4294967295.
  bool read_version() {
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing a value");
    const char ch = peek();
    if (ch != '-' && !is_ascii_digit(ch)) return read_unexpected("u32");
    std::string_view literal;
    bool integral = false;
    if (!read_number(literal, integral)) return false;
    if (!integral) {
      return fail("invalid type: floating point `" + shown(literal) + "`, expected u32", pos_);
    }
    if (literal == "-0") {  // the only negative literal that is not below zero
      version_ = 0;
      return true;
    }
    const auto [end, error] =
        std::from_chars(literal.data(), literal.data() + literal.size(), version_);
    if (error != std::errc() || end != literal.data() + literal.size()) {
      return fail("invalid value: integer `" + shown(literal) + "`, expected u32", pos_);
    }
    return true;
  }

  // Consumes the value at the current position (a scalar entirely, a container only its
  // opening bracket, since the fault is found there) and records "invalid type".
  bool read_unexpected(std::string_view expected) {
    std::string found;
    const char ch = peek();
    if (ch == '{' || ch == '[') {
      ++pos_;
      found = ch == '{' ? "map" : "sequence";
    } else if (ch == '"') {
      if (!read_string(&scratch_)) return false;
      found = "string \"" + shown(scratch_) + "\"";
    } else if (ch == '-' || is_ascii_digit(ch)) {
      std::string_view literal;
      bool integral = false;
      if (!read_number(literal, integral)) return false;
      found = (integral ? "integer `" : "floating point `") + shown(literal) + "`";
    } else if (ch == 't' || ch == 'f') {
      const std::string_view word = ch == 't' ? "true" : "false";
      if (!read_literal(word)) return false;
      found = "boolean `" + std::string(word) + "`";
    } else if (ch == 'n') {
      if (!read_literal("null")) return false;
      found = "null";
    } else {
      return fail_at_next("expected value");
    }
    return fail("invalid type: " + found + ", expected " + std::string(expected), pos_);
  }

  // After white space, at what should be a member name: reads it into `name`.
  bool read_member_name(std::string& name) {
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing an object");
    if (peek() != '"') return fail_at_next("key must be a string");
    return read_string(&name);
  }

  bool read_colon() {
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing an object");
    if (peek() != ':') return fail_at_next("expected `:`");
    ++pos_;
    return true;
  }

  // After a member's value: consumes ',' (and checks that a name follows) or '}'.
  bool read_object_separator(bool& closed) {
    skip_white_space();
    if (at_end()) return fail_at_end("EOF while parsing an object");
    if (peek() == '}') {
      ++pos_;
      closed = true;
      return true;
    }
    if (peek() != ',') return fail_at_next("expected `,` or `}`");
    ++pos_;
    skip_white_space();
    if (!at_end() && peek() == '}') return fail_at_next("trailing comma");
    closed = false;
    return true;
  }

  // Skips one value of any shape. Nesting is tracked on a heap-allocated stack (true for an
  // object, false for an array), so depth is limited only by memory.
  bool skip_value() {
    std::vector<bool> open;
    while (true) {
      // At the start of a value.
      skip_white_space();
      if (at_end()) return fail_at_end("EOF while parsing a value");
      const char ch = peek();
      if (ch == '{' || ch == '[') {
        ++pos_;
        skip_white_space();
        const char close = ch == '{' ? '}' : ']';
        if (!at_end() && peek() == close) {
          ++pos_;
        } else {
          if (at_end()) {
            return fail_at_end(ch == '{' ? "EOF while parsing an object"
                                         : "EOF while parsing a list");
          }
          open.push_back(ch == '{');
          if (ch == '{' && (!read_member_name(scratch_) || !read_colon())) return false;
          continue;
        }
      } else if (!skip_scalar()) {
        return false;
      }
      // A value is complete: close containers until one continues with another element.
      while (true) {
        if (open.empty()) return true;
        skip_white_space();
        const bool object = open.back();
        if (at_end()) {
          return fail_at_end(object ? "EOF while parsing an object" : "EOF while parsing a list");
        }
        if (peek() == (object ? '}' : ']')) {
          ++pos_;
          open.pop_back();
          continue;
        }
        if (peek() != ',')
          return fail_at_next(object ? "expected `,` or `}`" : "expected `,` or `]`");
        ++pos_;
        skip_white_space();
        if (!at_end() && peek() == (object ? '}' : ']')) return fail_at_next("trailing comma");
        if (object && (!read_member_name(scratch_) || !read_colon())) return false;
        break;
      }
    }
  }

  bool skip_scalar() {
    const char ch = peek();
    if (ch == '"') return read_string(nullptr);
    if (ch == '-' || is_ascii_digit(ch)) {
      std::string_view literal;
      bool integral = false;
      return read_number(literal, integral);
    }
    if (ch == 't') return read_literal("true");
    if (ch == 'f') return read_literal("false");
    if (ch == 'n') return read_literal("null");
    return fail_at_next("expected value");
  }

  bool read_literal(std::string_view word) {
    for (const char expected : word) {
      if (at_end()) return fail_at_end("EOF while parsing a value");
      if (peek() != expected) return fail_at_next("expected `" + std::string(word) + "`");
      ++pos_;
    }
    return true;
  }

  // A number by the JSON grammar, kept as its literal text: nothing is converted, so any
  // length is fine. `integral` tells whether it has neither fraction nor exponent.
  bool read_number(std::string_view& literal, bool& integral) {
    const std::size_t start = pos_;
    auto is_digit = [this] { return !at_end() && is_ascii_digit(peek()); };
    auto digits = [&]() {
      if (at_end()) return fail_at_end("EOF while parsing a value");
      if (!is_digit()) return fail_at_next("invalid number");
      while (is_digit()) ++pos_;
      return true;
    };
    if (peek() == '-') ++pos_;
    if (!at_end() && peek() == '0') {
      ++pos_;
      if (is_digit()) return fail_at_next("invalid number");
    } else if (!digits()) {
      return false;
    }
    integral = true;
    if (!at_end() && peek() == '.') {
      integral = false;
      ++pos_;
      if (!digits()) return false;
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (!digits()) return false;
    }
    literal = in_.substr(start, pos_ - start);
    return true;
  }

  // A string starting at its opening quotation mark. The decoded text goes to `out` (cleared
  // first) unless it is null. Refuses raw control characters, ill-formed UTF-8, unknown
  // escapes and \u escapes that do not encode a Unicode scalar value (lone surrogates).
  bool read_string(std::string* out) {
    if (out) out->clear();
    ++pos_;  // '"'
    while (true) {
      // The run of characters that stand for themselves, well-formed UTF-8 included.
      const std::size_t run_start = pos_;
      std::size_t end = pos_;
      while (end < in_.size()) {
        const auto byte = static_cast<unsigned char>(in_[end]);
        if (byte >= 0x80) {
          bool truncated = false;
          const std::size_t length = valid_utf8_length(in_, end, truncated);
          if (length == 0) break;
          end += length;
        } else if (byte >= 0x20 && byte != '"' && byte != '\\') {
          ++end;
        } else {
          break;
        }
      }
      pos_ = end;
      if (out) out->append(in_, run_start, pos_ - run_start);
      if (at_end()) return fail_at_end("EOF while parsing a string");
      const auto byte = static_cast<unsigned char>(peek());
      if (byte == '"') {
        ++pos_;
        return true;
      }
      if (byte == '\\') {
        if (!read_escape(out)) return false;
      } else if (byte < 0x20) {
        return fail_at_next("control character (\\u0000-\\u001F) found while parsing a string");
      } else {  // the run stopped at a byte that does not begin well-formed UTF-8
        bool truncated = false;
        valid_utf8_length(in_, pos_, truncated);
        if (truncated) return fail_at_end("EOF while parsing a string");
        return fail_at_next("invalid UTF-8 in string");
      }
    }
  }

  bool read_escape(std::string* out) {
    ++pos_;  // '\\'
    if (at_end()) return fail_at_end("EOF while parsing a string");
    const char letter = peek();
    if (letter == 'u') {
      ++pos_;
      char32_t unit = 0;
      if (!read_hex4(unit)) return false;
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return fail("lone surrogate in \\u escape", pos_);
      }
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        // A high surrogate must be followed at once by an escaped low surrogate.
        if (at_end() || (peek() == '\\' && pos_ + 1 == in_.size())) {
          return fail_at_end("EOF while parsing a string");
        }
        if (in_.substr(pos_, 2) != "\\u") return fail("lone surrogate in \\u escape", pos_);
        pos_ += 2;
        char32_t low = 0;
        if (!read_hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail("lone surrogate in \\u escape", pos_);
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out) append_utf8(*out, unit);
      return true;
    }
    ++pos_;
    if (letter == '/') {
      if (out) out->push_back('/');
      return true;
    }
    const std::size_t short_form = kShortEscapeLetters.find(letter);
    if (short_form == std::string_view::npos) return fail("invalid escape", pos_);
    if (out) out->push_back(kShortEscaped[short_form]);
    return true;
  }

  bool read_hex4(char32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail_at_end("EOF while parsing a string");
      const int digit = hex_value(peek());
      if (digit < 0) return fail_at_next("invalid \\u escape: expected four hexadecimal digits");
      value = value * 16 + static_cast<char32_t>(digit);
      ++pos_;
    }
    return true;
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  std::string fault_;
  std::size_t fault_end_ = 0;
  std::uint32_t version_ = 0;
  TextTable forward_;
  TextTable reverse_;
  std::string name_;     // the member name being matched
  std::string scratch_;  // names and strings read only to be skipped or quoted
};

}  // namespace

SessionError SessionError::malformed(std::string description) {
  return SessionError(Kind::Malformed, std::move(description), 0);
}

SessionError SessionError::unsupported_version(std::uint32_t found) {
  return SessionError(Kind::UnsupportedVersion, std::string(), found);
}

std::string SessionError::message() const {
  if (kind_ == Kind::Malformed) return std::string(kMalformedPrefix) + description_;
  return "unsupported session format version " + std::to_string(found_version_) +
         " (this build supports " + std::to_string(SESSION_FORMAT_VERSION) + ")";
}

std::string to_session_json(const TokenMap& map) {
  std::string out;
  out.reserve(128);
  out.append("{\"version\":");
  out.append(std::to_string(SESSION_FORMAT_VERSION));
  out.append(",\"tokenMap\":{\"forward\":");
  append_table(out, map.forward);
  out.append(",\"reverse\":");
  append_table(out, map.reverse);
  out.append("}}");
  return out;
}

SessionResult from_session_json(std::string_view json) { return Reader(json).read(); }

}  // namespace velk
