#include "core/util/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#include "core/json/utf8.h"

namespace tallyvox {
namespace {

HexError bad_char(std::uint8_t c, std::size_t at) {
  return HexError{HexError::InvalidCharacter{c, at}};
}

TEST(ErrorText, KeyErrors) {
  EXPECT_EQ(display(KeyError{KeyError::InvalidKeyLength{32, 33}}),
            "invalid key length: expected 32, got 33");
  EXPECT_EQ(display(KeyError{HexError{HexError::OddLength{}}}),
            "invalid hex: Odd number of digits");
  EXPECT_EQ(display(KeyError{KeyError::SignatureVerification{}}),
            "signature verification failed");
  EXPECT_EQ(display(KeyError{IoError::os(ENOENT)}), "io: No such file or directory (os error 2)");
  EXPECT_EQ(display(KeyError{IoError::message(kNulInPath)}),
            "io: file name contained an unexpected NUL byte");
}

TEST(ErrorText, WrappingAddsThePrefixOfEachLayer) {
  SealError key{KeyError{KeyError::InvalidKeyLength{64, 63}}};
  EXPECT_EQ(display(key), "key: invalid key length: expected 64, got 63");
  EXPECT_EQ(display(SealError{KeyError{bad_char('z', 0)}}),
            "key: invalid hex: Invalid character 'z' at position 0");
  EXPECT_EQ(display(SealError{SealError::SelfHashMismatch{}}), "self_hash mismatch");
  EXPECT_EQ(display(SealError{JsonError{"missing field `payload`", std::nullopt}}),
            "json: missing field `payload`");

  LedgerError torn{JsonError{"EOF while parsing a string", Position{1, 57}}};
  EXPECT_EQ(display(torn), "json: EOF while parsing a string at line 1 column 57");
  EXPECT_EQ(display(LedgerError{IoError::message(kWriteZero)}), "io: failed to write whole buffer");
  EXPECT_EQ(display(LedgerError{IoError::message(kInvalidUtf8)}),
            "io: stream did not contain valid UTF-8");

  // A session error shows the wrapped error's text unchanged.
  EXPECT_EQ(display(SessionError{torn}), display(torn));
  EXPECT_EQ(display(SessionError{key}), display(key));
}

TEST(ErrorText, JsonErrorPosition) {
  EXPECT_EQ(display(JsonError{"EOF while parsing a value", Position{1, 0}}),
            "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(display(JsonError{"trailing characters", std::nullopt}), "trailing characters");
}

struct LiteralCase {
  std::uint8_t byte;
  const char* literal;
};

class CharLiteral : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(CharLiteral, EscapesLikeACharacterLiteral) {
  EXPECT_EQ(char_literal(GetParam().byte), GetParam().literal);
}

INSTANTIATE_TEST_SUITE_P(Table, CharLiteral,
                         ::testing::Values(LiteralCase{'z', "'z'"}, LiteralCase{'\t', "'\\t'"},
                                           LiteralCase{'\n', "'\\n'"}, LiteralCase{'\r', "'\\r'"},
                                           LiteralCase{0, "'\\0'"}, LiteralCase{'\'', "'\\''"},
                                           LiteralCase{'\\', "'\\\\'"}, LiteralCase{'"', "'\"'"},
                                           LiteralCase{0x1b, "'\\u{1b}'"},
                                           LiteralCase{0x7f, "'\\u{7f}'"},
                                           LiteralCase{0xa0, "'\\u{a0}'"},
                                           LiteralCase{0xad, "'\\u{ad}'"},
                                           LiteralCase{0xc3, "'\xc3\x83'"},
                                           LiteralCase{0xa1, "'\xc2\xa1'"}));

TEST(ErrorText, HexCharacterPosition) {
  EXPECT_EQ(display(bad_char('\t', 4)), "Invalid character '\\t' at position 4");
  EXPECT_EQ(display(bad_char(0xc3, 10)), "Invalid character '\xc3\x83' at position 10");
}

TEST(ErrorText, FoundString) {
  EXPECT_EQ(found_string("x"), "string \"x\"");
  EXPECT_EQ(found_string("a\"b\\c\td'e"), "string \"a\\\"b\\\\c\\td'e\"");
  EXPECT_EQ(found_string(std::string("\0\r\n\x01", 4)), "string \"\\0\\r\\n\\u{1}\"");
  EXPECT_EQ(found_string("\xc3\xa9\xc2\x85"), "string \"\xc3\xa9\\u{85}\"");
  EXPECT_EQ(found_string("\xe2\x80\xa8\xf0\x9f\x98\x80"), "string \"\\u{2028}\xf0\x9f\x98\x80\"");
}

TEST(ErrorText, RefusalsOfTheWriter) {
  EXPECT_EQ(display(LedgerError{LedgerError::Held{"ledgers/call-42.ndjson"}}),
            "the ledger \"ledgers/call-42.ndjson\" is open by another writer");
  EXPECT_EQ(display(SessionError{SessionError::Closed{}}), "the session is closed");
  EXPECT_EQ(display(SessionError{LedgerError{LedgerError::Held{"l"}}}),
            "the ledger \"l\" is open by another writer");
}

struct QuotedCase {
  std::string path;
  const char* quoted;
};

class QuotedPath : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedPath, EscapesWhatWouldNotPrintOnOneLine) {
  EXPECT_EQ(quoted_path(GetParam().path), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, QuotedPath,
    ::testing::Values(QuotedCase{"", "\"\""}, QuotedCase{"a/b c.ndjson", "\"a/b c.ndjson\""},
                      QuotedCase{"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
                      QuotedCase{"\x1b[2J\x7f", "\"\\u{1b}[2J\\u{7f}\""},
                      QuotedCase{"q\"b\\'", "\"q\\\"b\\\\'\""},
                      QuotedCase{"caf\xc3\xa9 \xf0\x9f\x93\xa6", "\"caf\xc3\xa9 \xf0\x9f\x93\xa6\""},
                      QuotedCase{"\xe2\x80\xa8", "\"\\u{2028}\""},
                      // Not UTF-8: a Latin-1 byte, a lone lead byte at the
                      // end, an encoded surrogate, an overlong slash.
                      QuotedCase{"caf\xe9", "\"caf\\xe9\""}, QuotedCase{"x\xc3", "\"x\\xc3\""},
                      QuotedCase{"\xed\xa0\x80", "\"\\xed\\xa0\\x80\""},
                      QuotedCase{"\xc0\xaf", "\"\\xc0\\xaf\""},
                      QuotedCase{std::string("n\0l", 3), "\"n\\0l\""}));

// Whatever the bytes, the text is one line of valid UTF-8 without control
// characters, and a path that is plain printable ASCII stays as it is.
TEST(QuotedPathProperty, AnyBytesGiveOnePrintableLine) {
  std::mt19937 rng(20261208);
  for (int trial = 0; trial < 20000; ++trial) {
    std::string path(rng() % 12, '\0');
    bool plain = true;
    for (char& c : path) {
      c = static_cast<char>(rng() % 3 == 0 ? 0x20 + rng() % 0x5f : rng() % 256);
      auto b = static_cast<unsigned char>(c);
      plain = plain && b >= 0x20 && b < 0x7f && c != '"' && c != '\\';
    }
    std::string quoted = quoted_path(path);
    ASSERT_TRUE(valid_utf8(quoted)) << trial;
    for (unsigned char b : quoted) ASSERT_GE(b, 0x20) << trial;
    ASSERT_EQ(quoted.find('\x7f'), std::string::npos) << trial;
    if (plain) {
      ASSERT_EQ(quoted, "\"" + path + "\"");
    }
  }
}

}  // namespace
}  // namespace tallyvox
