#include "message/mailer_patterns.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/time/clock.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// Local time is UTC + 2 h for every test here, so that a date read as UTC
// would show.
constexpr TDateTime kZone = 2.0 / 24;

class MailerPatterns : public ::testing::Test {
 protected:
  ScopedClockForTests FClock{EncodeDateTime(2003, 1, 1), kZone};
};

TEST_F(MailerPatterns, BoundaryKinds) {
  struct Row {
    std::string boundary;
    int kind;
  } rows[] = {
      {"----_=_NextPart_001_01C2A9B8.6A5F0E40", 2},
      {"------_=_NextPart_001_01C2A9B8.6A5F0E40", 2},  // with the delimiter's "--"
      {"----=_NextPart_000_0001_01C2A9B8.6A5F0E40", 4},
      {"------=_NextPart_000_0001_01C2A9B8.6A5F0E40", 4},
      {"_NextPart_000_01C2A9B8", 5},
      {"--_NextPart_000_01C2A9B8", 5},
      {"Boundary_(ID_abcdefghijklmnopqrstuv)", 3},
      {"--Boundary_(ID_+/=.-_1234567890ABCDEF)", 3},
      // Near misses: lower-case digits, a short group, something after it.
      {"----=_NextPart_000_0001_01c2a9b8.6a5f0e40", 1},
      {"----=_NextPart_000_001_01C2A9B8.6A5F0E40", 1},
      {"----=_NextPart_000_0001_01C2A9B8.6A5F0E40x", 1},
      {"Boundary_(ID_abcdefghijklmnopqrstu)", 1},
      {"----=_NextPart_000_0001_01C2A9B8", 1},
      {"=_alternative 0036DA4E85256C0B_=", 1},
      {"", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.boundary);
    TBoundaryPatternRec rec;
    EXPECT_EQ(ParseBoundaryPattern(row.boundary, rec), row.kind);
    if (row.kind != 2 && row.kind != 4) {
      EXPECT_EQ(rec.Counter, -1);
      EXPECT_EQ(rec.Counter2, -1);
      EXPECT_EQ(rec.Date, 0);
    }
  }
}

// The boundary that one widespread mail program wrote on 22 December 2002.
TEST_F(MailerPatterns, KnownBoundaryCarriesItsCountersAndDate) {
  TBoundaryPatternRec rec;
  rec.Counter = 77;
  ASSERT_EQ(ParseBoundaryPattern("----=_NextPart_000_0001_01C2A9B8.6A5F0E40", rec), 4);
  EXPECT_EQ(rec.Counter, 0);
  EXPECT_EQ(rec.Counter2, 1);
  const TDateTimeFields f = DecodeDateTime(rec.Date - kZone);
  EXPECT_EQ(f.Year, 2002);
  EXPECT_EQ(f.Month, 12);
  EXPECT_EQ(f.Day, 22);
  EXPECT_EQ(f.Hour, 12);
  EXPECT_EQ(f.Minute, 48);
}

TEST_F(MailerPatterns, MessageIdKinds) {
  struct Row {
    std::string id;
    int kind;
  } rows[] = {
      {"<0a1b2c3d$4e5f6a7b$0200a8c0@mail.example.com>", 2},
      {"<0001c2a9b86a$5f0e4000$0200a8c0@pc1>", 3},
      {"<ABCDEFGHIJKLMNOPQRSTUVWXYZAB.x@example.com>", 4},
      {"<" + std::string(38, 'A') + "@example.com>", 5},
      {"<" + std::string(40, '9') + "@example.com>", 6},
      {"<0A1B2C3D.12345@example.com>", 7},
      {"<0A1B2C3D.1234567@example.com>", 7},
      {"<0A1B2C3D.0FF%123456@example.com>", 8},
      // Near misses.
      {"<0A1B2C3D$4E5F6A7B$0200A8C0@mail.example.com>", 1},  // kind 2 is lower case
      {"<0a1b2c3d$4e5f6a7b$0200a8c0@mail_example.com>", 1},
      {"0a1b2c3d$4e5f6a7b$0200a8c0@mail.example.com", 1},  // no angle brackets
      {"<" + std::string(39, 'A') + "@example.com>", 1},
      {"<0A1B2C3D.1234@example.com>", 1},
      {"<20021222124800.GA1234@example.com>", 1},
      {"", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    TMessageIdRec rec;
    EXPECT_EQ(ParseMessageIdPattern(row.id, rec), row.kind);
    EXPECT_EQ(rec.Reserved, "");
    if (row.kind != 2 && row.kind != 3) {
      EXPECT_EQ(rec.Counter, -1);
      EXPECT_EQ(rec.Date, 0);
      EXPECT_EQ(rec.SenderIP, "");
    }
  }
}

std::string Hex(std::mt19937& rng, int digits, bool upper) {
  const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string s;
  for (int i = 0; i < digits; ++i) s += alphabet[rng() % 16];
  return s;
}

// A file time between 1995 and 2030 as its two halves in hexadecimal.
void FileTimeHalves(std::mt19937_64& rng, bool upper, std::string& high, std::string& low) {
  const std::uint64_t from = 125596224000000000ULL;  // 1 Jan 1999 in 100 ns since 1601
  const std::uint64_t span = 10000000ULL * 86400 * 365 * 30;
  const std::uint64_t t = from - 10000000ULL * 86400 * 365 * 4 + rng() % span;
  char buffer[20];
  std::snprintf(buffer, sizeof buffer, upper ? "%08X" : "%08x", static_cast<unsigned>(t >> 32));
  high = buffer;
  std::snprintf(buffer, sizeof buffer, upper ? "%08X" : "%08x",
                static_cast<unsigned>(t & 0xFFFFFFFF));
  low = buffer;
}

// Counters, dates and addresses of generated shapes, as Python reads the
// same digits: int(x, 16), the file time through datetime, and the address
// group as a little-endian number through socket.inet_ntoa.
TEST_F(MailerPatterns, NumbersAgreeWithPython) {
  std::mt19937 rng(41);
  std::mt19937_64 rng64(43);
  struct Case {
    bool boundary;
    std::string text;
    int kind;
    std::string counter, counter2, high, low, address;  // hexadecimal groups
  };
  std::vector<Case> cases;
  for (int k = 0; k < 300; ++k) {
    Case c;
    switch (k % 4) {
      case 0:
        FileTimeHalves(rng64, true, c.high, c.low);
        c.boundary = true;
        c.kind = 2;
        c.counter = Hex(rng, 3, true);
        c.text = std::string(k % 8 ? "" : "--") + "----_=_NextPart_" + c.counter + "_" + c.high +
                 "." + c.low;
        break;
      case 1:
        FileTimeHalves(rng64, true, c.high, c.low);
        c.boundary = true;
        c.kind = 4;
        c.counter = Hex(rng, 3, true);
        c.counter2 = Hex(rng, 4, true);
        c.text = std::string(k % 8 == 1 ? "--" : "") + "----=_NextPart_" + c.counter + "_" +
                 c.counter2 + "_" + c.high + "." + c.low;
        break;
      case 2:
        FileTimeHalves(rng64, false, c.high, c.low);
        c.boundary = false;
        c.kind = 2;
        c.address = Hex(rng, 8, false);
        c.text = "<" + c.high + "$" + c.low + "$" + c.address + "@pc" + std::to_string(k) + ">";
        break;
      default:
        FileTimeHalves(rng64, false, c.high, c.low);
        c.boundary = false;
        c.kind = 3;
        c.counter = Hex(rng, 4, false);
        c.address = Hex(rng, 8, false);
        c.text = "<" + c.counter + c.high + "$" + c.low + "$" + c.address + "@mail.example>";
        break;
    }
    cases.push_back(c);
  }
  std::string input;
  for (const Case& c : cases)
    input += (c.counter.empty() ? "-" : c.counter) + " " + (c.counter2.empty() ? "-" : c.counter2) +
             " " + c.high + " " + c.low + " " + (c.address.empty() ? "-" : c.address) + "\n";
  // One line per case: the counters (-1 when absent), the date-time in days
  // since 30 December 1899, UTC, and the dotted address ("-" when absent).
  const test::CommandResult py = test::RunPython(R"(
import sys, socket, struct, datetime
base = datetime.datetime(1899, 12, 30)
for line in sys.stdin:
    counter, counter2, high, low, address = line.split()
    ticks = int(high, 16) << 32 | int(low, 16)
    when = datetime.datetime(1601, 1, 1) + datetime.timedelta(microseconds=ticks // 10)
    days = (when - base) / datetime.timedelta(days=1)
    ip = '-' if address == '-' else socket.inet_ntoa(struct.pack('<I', int(address, 16)))
    print(-1 if counter == '-' else int(counter, 16), -1 if counter2 == '-' else int(counter2, 16),
          repr(days), ip)
)",
                                                 input);
  ASSERT_EQ(py.ExitCode, 0);
  const std::vector<std::string> answers = test::OutputLines(py.Output);
  ASSERT_EQ(answers.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.text + " python: " + answers[i]);
    std::istringstream in(answers[i]);
    int counter, counter2;
    double days;
    std::string ip;
    in >> counter >> counter2 >> days >> ip;
    if (c.boundary) {
      TBoundaryPatternRec rec;
      ASSERT_EQ(ParseBoundaryPattern(c.text, rec), c.kind);
      EXPECT_EQ(rec.Counter, counter);
      EXPECT_EQ(rec.Counter2, counter2);
      EXPECT_NEAR(rec.Date, days + kZone, 1e-8);
    } else {
      TMessageIdRec rec;
      ASSERT_EQ(ParseMessageIdPattern(c.text, rec), c.kind);
      EXPECT_EQ(rec.Counter, counter);
      EXPECT_NEAR(rec.Date, days + kZone, 1e-8);
      EXPECT_EQ(rec.SenderIP, ip);
    }
  }
}

}  // namespace
}  // namespace halvorn
