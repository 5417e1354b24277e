// TRegExpr against plain PCRE2 with its JIT, the reference run, on a
// mail-like text: a few typical header and body patterns, each walking every
// match of the text. After the usual table, each pattern's TRegExpr time is
// printed as a ratio to PCRE2's.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <benchmark/benchmark.h>
#include <pcre2.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "foundation/regex/reg_expr.h"

namespace {

// About 200 KB: a header block with Received lines, then a body of prose
// with addresses, links and a base64 attachment, lines ended by CR LF.
const std::string& MailText() {
  static const std::string text = [] {
    std::mt19937 random(7);
    const char* words[] = {"the",      "account", "offer",   "please", "meeting", "report",
                           "tomorrow", "invoice", "limited", "update", "your",    "customer",
                           "service",  "and",     "to",      "of",     "thanks",  "regards"};
    std::string t;
    for (int i = 0; i < 12; ++i)
      t += "Received: from mx" + std::to_string(i) + ".example.net ([192.0.2." +
           std::to_string(i + 10) + "]) by relay.example.org with ESMTP id " +
           std::to_string(100000 + i * 7919) + "\r\n";
    t += "From: \"Sales Team\" <sales@shop.example.com>\r\nTo: user@example.org\r\n"
         "Subject: Your invoice and a limited offer\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n\r\n";
    while (t.size() < 150000) {
      std::string line;
      while (line.size() < 70) {
        unsigned r = random() % 100;
        if (r < 2)
          line += "contact" + std::to_string(random() % 100) + "@mail.example.com ";
        else if (r < 4)
          line += "https://www.example.com/path/page" + std::to_string(random() % 100) + ".html ";
        else
          line += std::string(words[random() % (sizeof words / sizeof *words)]) + " ";
      }
      t += line + "\r\n";
    }
    t += "Click here to unsubscribe.\r\n--b1\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    while (t.size() < 200000) {
      for (int i = 0; i < 76; ++i) t += b64[random() % 64];
      t += "\r\n";
    }
    return t + "--b1--\r\n";
  }();
  return text;
}

struct PatternCase {
  const char* name;
  const char* pattern;  // the same text for both engines
  bool ignoreCase, multiLine, dotAll;
};

const PatternCase kCases[] = {
    {"subject_header", "^Subject:.*(free|win|offer)", true, true, false},
    {"received_ip", "^Received: from ([\\w.-]+) \\(\\[(\\d+\\.\\d+\\.\\d+\\.\\d+)\\]\\)", false,
     true, false},
    {"email_address", "[\\w.%-]+@[\\w.-]+\\.[a-z]{2,6}", true, false, false},
    {"url", "https?://[\\w.-]+(/[\\w./?=&%-]*)?", true, false, false},
    {"spam_phrase", "click\\s+here|unsubscribe|100% free", true, false, false},
    {"absent_words", "viagra|cialis", true, false, false},
};

void BM_TRegExpr(benchmark::State& state, const PatternCase& c) {
  const std::string& text = MailText();
  halvorn::TRegExpr re;
  re.SetModifier(1, c.ignoreCase);
  re.SetModifier(5, c.multiLine);
  re.SetModifier(3, c.dotAll);
  re.SetExpression(c.pattern);
  re.Compile();
  std::int64_t matches = 0;
  for (auto _ : state) {
    for (bool found = re.Exec(text); found; found = re.ExecNext()) ++matches;
  }
  benchmark::DoNotOptimize(matches);
  state.counters["matches"] = static_cast<double>(matches) / state.iterations();
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_Pcre2Jit(benchmark::State& state, const PatternCase& c) {
  const std::string& text = MailText();
  int error = 0;
  PCRE2_SIZE offset = 0;
  std::uint32_t options = (c.ignoreCase ? PCRE2_CASELESS : 0) |
                          (c.multiLine ? PCRE2_MULTILINE : 0) | (c.dotAll ? PCRE2_DOTALL : 0);
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(c.pattern), PCRE2_ZERO_TERMINATED,
                                   options, &error, &offset, nullptr);
  if (!code) {
    state.SkipWithError("pattern does not compile");
    return;
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  std::int64_t matches = 0;
  for (auto _ : state) {
    PCRE2_SIZE start = 0;
    while (start <= text.size() &&
           pcre2_match(code, subject, text.size(), start, 0, md, nullptr) >= 0) {
      ++matches;
      PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
      start = ov[1] > ov[0] ? ov[1] : ov[0] + 1;
    }
  }
  benchmark::DoNotOptimize(matches);
  state.counters["matches"] = static_cast<double>(matches) / state.iterations();
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  pcre2_match_data_free(md);
  pcre2_code_free(code);
}

// Prints the console table and then, per pattern, TRegExpr's time divided by
// PCRE2's.
class TRatioReporter : public halvorn::bench::TTimesReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nTRegExpr time relative to PCRE2 with JIT:\n");
    for (const PatternCase& c : kCases) {
      auto ours = FTimes.find(std::string("TRegExpr/") + c.name);
      auto ref = FTimes.find(std::string("Pcre2Jit/") + c.name);
      if (ours == FTimes.end() || ref == FTimes.end() || ref->second <= 0) continue;
      std::printf("  %-20s %8.2f\n", c.name, ours->second / ref->second);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  for (const PatternCase& c : kCases) {
    benchmark::RegisterBenchmark((std::string("Pcre2Jit/") + c.name).c_str(), BM_Pcre2Jit, c);
    benchmark::RegisterBenchmark((std::string("TRegExpr/") + c.name).c_str(), BM_TRegExpr, c);
  }
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
