// Error values of the core and their display texts. Every core operation
// returns its result or one of these; an outer layer wraps an inner error and
// never unwraps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace tallyvox {

// Where a JSON text error was found: line from 1, column in bytes.
struct Position {
  std::uint64_t line = 1;
  std::uint64_t column = 0;
  friend bool operator==(const Position&, const Position&) = default;
};

struct JsonError {
  std::string message;
  std::optional<Position> position;  // present for errors in JSON text
};

// An operating-system error number, or one of the fixed texts below.
struct IoError {
  int code = 0;
  const char* fixed = nullptr;

  static IoError os(int errnum) { return IoError{errnum, nullptr}; }
  static IoError message(const char* text) { return IoError{0, text}; }
};

inline constexpr const char* kWriteZero = "failed to write whole buffer";
inline constexpr const char* kInvalidUtf8 = "stream did not contain valid UTF-8";
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kTreeIncomplete = "failed to create whole tree";
inline constexpr const char* kNotRegularFifo = "not a regular file (a FIFO)";
inline constexpr const char* kNotRegularDevice = "not a regular file (a device)";
inline constexpr const char* kNotRegularSocket = "not a regular file (a socket)";
inline constexpr const char* kNotRegularDirectory = "not a regular file (a directory)";
inline constexpr const char* kNotRegularOther = "not a regular file";

struct HexError {
  struct InvalidCharacter {
    std::uint8_t character;
    std::size_t position;
  };
  struct OddLength {};
  std::variant<InvalidCharacter, OddLength> kind;
};

struct KeyError {
  struct InvalidKeyLength {
    std::size_t expected;
    std::size_t actual;
  };
  struct SignatureVerification {};
  std::variant<IoError, InvalidKeyLength, HexError, SignatureVerification> kind;
};

struct SealError {
  struct SelfHashMismatch {};
  std::variant<JsonError, KeyError, SelfHashMismatch> kind;
};

// A ledger line longer than the reader takes: the line, from 1, and the
// limit in bytes (its LF not counted).
struct LineTooLong {
  std::uint64_t line = 0;
  std::size_t limit = 0;
};

// Threads that a walk could not start: how many it asked for, and the
// operating-system error of the first that failed.
struct ThreadStartError {
  unsigned requested = 0;
  int code = 0;
};

struct LedgerError {
  // Another open file description holds the ledger's writer lock: a session
  // or a recovery, in this process or another. `path` is the caller's.
  struct Held {
    std::string path;
  };
  std::variant<IoError, JsonError, Held, LineTooLong, ThreadStartError> kind;
};

struct SessionError {
  // The session was closed: it appends nothing more.
  struct Closed {};
  std::variant<SealError, LedgerError, Closed> kind;
};

// A broken invariant that no input can cause in a correct build (a lock
// poisoned by an earlier fault, a failing random source). Not an error value:
// it is thrown, poisons the locks it unwinds through, and surfaces in Python
// as the internal-fault exception carrying what().
struct InternalFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string display(const JsonError& e);
std::string display(const IoError& e);
std::string display(const HexError& e);
std::string display(const KeyError& e);
std::string display(const SealError& e);
std::string display(const LedgerError& e);
std::string display(const SessionError& e);

// Rust-style character literal of one byte taken as U+0000..U+00FF: 'a',
// '\t', '\u{1b}', 'Ã'.
std::string char_literal(std::uint8_t c);

// A path in double quotes on one line: characters that do not print, the
// quote and the backslash escaped as in a Rust debug literal, bytes that are
// not UTF-8 as \xNN.
std::string quoted_path(std::string_view path);

// The "found" text of a string in value-shape messages: string "..." with
// the debug escapes.
std::string found_string(std::string_view utf8);

}  // namespace tallyvox
