// Reading speed on ledger-like lines: skip(), a member-by-member read,
// parse_json_text, read_line (the records themselves) and the ledger reader
// (UTF-8 check, framing and records). Prints MB/s.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/json/text.h"
#include "core/ledger/ledger.h"
#include "core/ledger/signed.h"

namespace {

using tallyvox::json::TextSource;
using tallyvox::json::Token;

std::string hex(std::size_t n, unsigned seed) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s.push_back(kDigits[(seed >> 16) & 15]);
  }
  return s;
}

std::string tail(unsigned seed) {
  return R"(,"parent_hash":")" + hex(64, seed) + R"(","self_hash":")" + hex(64, seed + 1) +
         R"(","signature":")" + hex(128, seed + 2) + R"(","signer_pubkey":")" +
         hex(64, seed + 3) + R"("})";
}

std::vector<std::string> lines() {
  return {
      R"({"seq":41,"timestamp_nanos":1700000000123456789,"event":{"type":"ToolCalled",)"
      R"("payload":{"tool_name":"web_search","args_sha256":")" +
          hex(64, 7) +
          R"(","args_redacted":{"query":"weather in Paris tomorrow","limit":10,)"
          R"("filters":["news","web"],"safe":true,"score":0.75}}})" + tail(11),
      R"({"seq":42,"timestamp_nanos":1700000000223456789,"event":{"type":"UtteranceCaptured",)"
      R"("payload":{"audio_sha256":")" +
          hex(64, 21) +
          R"(","transcript":"Could you book a table for two at eight, please? \"Le Petit\" )"
          R"(on Rue Cler would be lovely.","lang":"en-GB","duration_ms":3120}})" + tail(23),
      R"({"seq":43,"timestamp_nanos":1700000000323456789,"event":{"type":"ModelInvoked",)"
      R"("payload":{"model_id":"gpt-voice-1","prompt_sha256":")" +
          hex(64, 31) + R"(","response_sha256":")" + hex(64, 33) +
          R"(","prompt_tokens":1834,"response_tokens":212}})" + tail(35),
  };
}

// A member-by-member read: strings and numbers converted, containers walked.
bool read_members(TextSource& src) {
  auto token = src.peek();
  if (!token) return false;
  switch (*token) {
    case Token::Object: {
      if (!src.begin_object()) return false;
      for (;;) {
        auto key = src.next_key();
        if (!key) return false;
        if (!*key) return true;
        if (!read_members(src)) return false;
      }
    }
    case Token::Array: {
      if (!src.begin_array()) return false;
      for (;;) {
        auto more = src.next_element();
        if (!more) return false;
        if (!*more) return true;
        if (!read_members(src)) return false;
      }
    }
    case Token::String: return src.string().has_value();
    default: return src.scalar().has_value();
  }
}

template <class Fn>
double mb_per_s(const std::vector<std::string>& texts, Fn fn) {
  std::size_t bytes_per_round = 0;
  for (const auto& t : texts) bytes_per_round += t.size();
  double best = 0;
  for (int trial = 0; trial < 5; ++trial) {
    std::size_t rounds = 0;
    auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    do {
      for (int i = 0; i < 200; ++i) {
        for (const auto& t : texts) {
          if (!fn(t)) {
            std::fprintf(stderr, "refused: %s\n", t.c_str());
            std::exit(1);
          }
        }
      }
      rounds += 200;
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (seconds < 0.3);
    double rate = static_cast<double>(rounds * bytes_per_round) / seconds / 1e6;
    if (rate > best) best = rate;
  }
  return best;
}

}  // namespace

int main() {
  std::vector<std::string> texts = lines();
  std::size_t total = 0;
  for (const auto& t : texts) total += t.size();
  std::printf("%zu lines, %zu bytes on average\n", texts.size(), total / texts.size());

  std::printf("skip            %8.0f MB/s\n", mb_per_s(texts, [](const std::string& t) {
                TextSource src(t);
                return src.skip() && src.finish();
              }));
  std::printf("member by member%8.0f MB/s\n", mb_per_s(texts, [](const std::string& t) {
                TextSource src(t);
                return read_members(src) && src.finish();
              }));
  std::printf("parse_json_text %8.0f MB/s\n", mb_per_s(texts, [](const std::string& t) {
                return tallyvox::json::parse_json_text(t).has_value();
              }));
  std::printf("read_line       %8.0f MB/s\n", mb_per_s(texts, [](const std::string& t) {
                return tallyvox::read_line(t).has_value();
              }));
  std::string ledger;
  for (const auto& t : texts) ledger += t + "\n";
  std::size_t records = 0;
  std::function<void(tallyvox::SignedEvent&&)> count = [&](tallyvox::SignedEvent&&) { ++records; };
  std::printf("ledger reader   %8.0f MB/s\n", mb_per_s({ledger}, [&](const std::string& t) {
                tallyvox::LedgerReader reader(count);
                return reader.feed(t).has_value() && reader.finish().has_value();
              }));
  return records > 0 ? 0 : 1;
}
