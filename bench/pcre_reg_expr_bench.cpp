// The PCRE wrapper against plain PCRE2 with JIT on mail-like text, for a
// handful of typical header and body patterns. Each benchmark times the
// same work done with plain PCRE2 in the same process and reports the ratio
// as the counter "x_plain" (1.0 = as fast as plain PCRE2).
#define PCRE2_CODE_UNIT_WIDTH 8
#include <benchmark/benchmark.h>
#include <pcre2.h>

#include <chrono>
#include <memory>
#include <string>

#include "foundation/regex/pcre_reg_expr.h"

namespace {

using halvorn::NewRegex;
using halvorn::TPcreRegExpr;
using halvorn::TRegexOptions;

// About 64 KiB of a spam-like message: headers, a text body and some HTML.
const std::string& MailText() {
  static const std::string text = [] {
    std::string t =
        "Return-Path: <bounce-1234@lists.example.org>\r\n"
        "Received: from mail.example.org (mail.example.org [203.0.113.7])\r\n"
        "\tby mx.example.net with ESMTP id 4F2A1B3C for <user@example.net>;\r\n"
        "\tMon, 3 Jun 2024 10:11:12 +0200\r\n"
        "From: \"Special Offers\" <offers@deals.example.com>\r\n"
        "To: user@example.net\r\n"
        "Subject: Your account statement for June\r\n"
        "Message-ID: <20240603101112.12345@deals.example.com>\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n";
    const std::string paragraph =
        "Dear customer, thank you for your continued business with us. Please find the "
        "details of this month's activity below; if anything looks wrong, reply to this "
        "message or call our office between 9 and 17 o'clock.\r\n"
        "<p>See <a href=\"http://www.example.com/account?id=42\">your account</a> for more."
        " Contact support@example.com with questions.</p>\r\n";
    while (t.size() < 64 * 1024) t += paragraph;
    t += "To unsubscribe click here: http://203.0.113.9/unsub\r\n";
    return t;
  }();
  return text;
}

struct PatternCase {
  const char* pattern;
  TRegexOptions options;
};

const PatternCase kPatterns[] = {
    {"^Subject:.*\\b(?:free|viagra|winner)\\b", TRegexOptions::Caseless | TRegexOptions::MultiLine},
    {"\\b[A-Z0-9._%+-]+@[A-Z0-9.-]+\\.[A-Z]{2,}\\b", TRegexOptions::Caseless},
    {"<a\\s+href=\"?https?://\\d+\\.\\d+\\.\\d+\\.\\d+", TRegexOptions::Caseless},
    {"(?:click|unsubscribe)\\s+here", TRegexOptions::Caseless},
    {"^Received: from \\S+ \\(\\S+ \\[(\\d+\\.\\d+\\.\\d+\\.\\d+)\\]", TRegexOptions::MultiLine},
};

std::uint32_t PlainFlags(TRegexOptions options) {
  std::uint32_t flags = 0;
  if (halvorn::HasOption(options, TRegexOptions::Caseless)) flags |= PCRE2_CASELESS;
  if (halvorn::HasOption(options, TRegexOptions::MultiLine)) flags |= PCRE2_MULTILINE;
  return flags;
}

// Plain PCRE2: compiled and JIT-compiled once, match data reused.
class PlainRegex {
 public:
  explicit PlainRegex(const PatternCase& c) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(c.pattern), PCRE2_ZERO_TERMINATED,
                          PlainFlags(c.options), &error, &offset, nullptr);
    pcre2_jit_compile(FCode, PCRE2_JIT_COMPLETE);
    FData = pcre2_match_data_create_from_pattern(FCode, nullptr);
  }
  ~PlainRegex() {
    pcre2_match_data_free(FData);
    pcre2_code_free(FCode);
  }
  int Match(const std::string& s, std::size_t start = 0) {
    return pcre2_match(FCode, reinterpret_cast<PCRE2_SPTR>(s.data()), s.size(), start, 0, FData,
                       nullptr);
  }
  // Walks all matches, moving past empty ones as the wrapper does.
  int CountAll(const std::string& s) {
    int n = 0;
    std::size_t start = 0;
    while (start <= s.size() && Match(s, start) > 0) {
      PCRE2_SIZE* ov = pcre2_get_ovector_pointer(FData);
      ++n;
      start = std::max<std::size_t>(ov[1], ov[0] + 1);
    }
    return n;
  }

 private:
  pcre2_code* FCode = nullptr;
  pcre2_match_data* FData = nullptr;
};

// Seconds per call of f, measured over at least 0.1 s.
template <typename F>
double SecondsPerCall(F&& f) {
  using Clock = std::chrono::steady_clock;
  long calls = 0;
  auto start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < 16; ++i) f();
    calls += 16;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < 0.1);
  return elapsed / static_cast<double>(calls);
}

template <typename F, typename R>
void RunAgainstPlain(benchmark::State& state, F&& wrapper, R&& reference) {
  double plain = SecondsPerCall(reference);
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  long calls = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(wrapper());
    ++calls;
  }
  double ours = std::chrono::duration<double>(Clock::now() - start).count() /
                static_cast<double>(std::max(calls, 1L));
  state.counters["x_plain"] = ours / plain;
}

// TPcreRegExpr.Exec as the rule catalogue calls it, on a shared body.
void BM_TPcreRegExprExec(benchmark::State& state) {
  const PatternCase& c = kPatterns[state.range(0)];
  state.SetLabel(c.pattern);
  auto body = std::make_shared<const std::string>(MailText());
  TPcreRegExpr re;
  re.SetExpression(c.pattern);
  if (halvorn::HasOption(c.options, TRegexOptions::Caseless)) re.SetModifier(1, true);
  if (halvorn::HasOption(c.options, TRegexOptions::MultiLine)) re.SetModifier(5, true);
  PlainRegex plain(c);
  RunAgainstPlain(
      state, [&] { return re.Exec(body); }, [&] { benchmark::DoNotOptimize(plain.Match(*body)); });
}
BENCHMARK(BM_TPcreRegExprExec)->DenseRange(0, std::size(kPatterns) - 1);

// IRegex.IsMatch on a text it does not copy.
void BM_IRegexIsMatch(benchmark::State& state) {
  const PatternCase& c = kPatterns[state.range(0)];
  state.SetLabel(c.pattern);
  const std::string& body = MailText();
  auto re = NewRegex(c.pattern, c.options);
  PlainRegex plain(c);
  RunAgainstPlain(
      state, [&] { return re->IsMatch(body); },
      [&] { benchmark::DoNotOptimize(plain.Match(body)); });
}
BENCHMARK(BM_IRegexIsMatch)->DenseRange(0, std::size(kPatterns) - 1);

// IRegex.Matches: every match of the body as an object.
void BM_IRegexMatches(benchmark::State& state) {
  const PatternCase& c = kPatterns[state.range(0)];
  state.SetLabel(c.pattern);
  const std::string& body = MailText();
  auto re = NewRegex(c.pattern, c.options);
  PlainRegex plain(c);
  RunAgainstPlain(
      state, [&] { return re->Matches(body)->Count(); },
      [&] { benchmark::DoNotOptimize(plain.CountAll(body)); });
}
BENCHMARK(BM_IRegexMatches)->DenseRange(0, std::size(kPatterns) - 1);

}  // namespace
