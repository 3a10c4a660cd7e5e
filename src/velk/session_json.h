// The session document: a TokenMap saved as a small versioned JSON text, and read back with
// strict acceptance rules and exact error messages.
#ifndef VELK_SESSION_JSON_H_
#define VELK_SESSION_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "velk/token_map.h"

namespace velk {

inline constexpr std::uint32_t SESSION_FORMAT_VERSION = 1;

// Why a session document could not be read.
class SessionError {
 public:
  enum class Kind { Malformed, UnsupportedVersion };

  // `description` says what is wrong and, when known, ends with " at line L column C".
  static SessionError malformed(std::string description);
  static SessionError unsupported_version(std::uint32_t found);

  Kind kind() const { return kind_; }
  // The text Python shows in ValueError: "session JSON is malformed: <description>" or
  // "unsupported session format version <found> (this build supports 1)".
  std::string message() const;
  // Empty for UnsupportedVersion.
  const std::string& description() const { return description_; }
  // Zero for Malformed.
  std::uint32_t found_version() const { return found_version_; }
  std::uint32_t supported_version() const { return SESSION_FORMAT_VERSION; }

  friend bool operator==(const SessionError&, const SessionError&) = default;

 private:
  SessionError(Kind kind, std::string description, std::uint32_t found_version)
      : kind_(kind), description_(std::move(description)), found_version_(found_version) {}

  Kind kind_;
  std::string description_;
  std::uint32_t found_version_;
};

// Either the map read from a document or the first fault met while reading it.
class SessionResult {
 public:
  SessionResult(TokenMap map) : state_(std::move(map)) {}
  SessionResult(SessionError error) : state_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<TokenMap>(state_); }
  // Only when ok().
  TokenMap& value() { return std::get<TokenMap>(state_); }
  const TokenMap& value() const { return std::get<TokenMap>(state_); }
  // Only when !ok().
  const SessionError& error() const { return std::get<SessionError>(state_); }

 private:
  std::variant<TokenMap, SessionError> state_;
};

// The compact document {"version":1,"tokenMap":{"forward":{...},"reverse":{...}}}, members of
// each table in the table's own (unspecified) order. Never fails; `map` must hold valid UTF-8.
std::string to_session_json(const TokenMap& map);

// Reads a document written by to_session_json (or an equivalent one: members in any order,
// unknown members skipped, the array forms, version 0 or 1). Any input bytes are safe: invalid
// UTF-8, escapes of lone surrogates, arbitrarily deep nesting and truncation are all refused as
// Malformed, never a partial map.
SessionResult from_session_json(std::string_view json);

}  // namespace velk

#endif  // VELK_SESSION_JSON_H_
