#include "foundation/app/log.h"

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "foundation/files/install_folders.h"
#include "platform/thread_identity.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

namespace fs = std::filesystem;

bool gSelectiveOpenRelay = false;
bool SelectiveOpenRelayForTests() {
  return gSelectiveOpenRelay;
}

TDateTime HoursMinutes(int hours, int minutes) {
  return (hours * 60 + minutes) / 1440.0;
}

// The lines of a file split at CR LF; a missing file gives none. A line that
// ends in a lone LF or CR would show up as a line holding that character.
std::vector<std::string> CrLfLines(const std::string& path) {
  const std::string bytes = test::ReadFileBytes(path);
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < bytes.size()) {
    std::size_t end = bytes.find("\r\n", from);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(from));
      break;
    }
    lines.push_back(bytes.substr(from, end - from));
    from = end + 2;
  }
  return lines;
}

// Points the install folder into a fresh folder and starts the log module;
// ends it and restores everything afterwards.
class LogTest : public ::testing::Test {
 protected:
  LogTest() : FHome("HALVORN_HOME", FRoot.Sub("home")) {
    ResetFolderCachesForTests();
    gSelectiveOpenRelay = false;
    SetLogSelectiveOpenRelaySource(&SelectiveOpenRelayForTests);
    StartLogModule();
  }
  ~LogTest() override {
    EndLogModule();
    SetLogSelectiveOpenRelaySource(nullptr);
    ResetClock();
    ResetFolderCachesForTests();
  }

  std::string DayFile(TDateTime date) const { return GetLogDir() + "/" + LogFileNameForDate(date); }

  test::TempFolder FRoot;
  test::ScopedEnv FHome;
};

TEST_F(LogTest, FileNameHasTitleAndEnglishDate) {
  EXPECT_EQ(GetLogFileName(), "Halvorn - 30 Dec 1899.log");  // nothing logged yet
  const struct {
    int Year, Month, Day;
    const char* Expected;
  } rows[] = {
      {2026, 12, 9, "Halvorn - 09 Dec 2026.log"},
      {2027, 1, 31, "Halvorn - 31 Jan 2027.log"},
      {2030, 5, 1, "Halvorn - 01 May 2030.log"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Expected);
    ScopedClockForTests clock(EncodeDateTime(row.Year, row.Month, row.Day, 10, 30));
    EXPECT_EQ(LogFileNameForDate(EncodeDateTime(row.Year, row.Month, row.Day)), row.Expected);
    Log("Test", "x", 5, false);
    EXPECT_EQ(GetLogFileName(), row.Expected);
    EXPECT_TRUE(fs::exists(GetLogDir() + "/" + row.Expected));
  }
}

TEST_F(LogTest, RecordLinesAndTheirParse) {
  const TDateTime noon = EncodeDateTime(2026, 12, 9, 12, 0, 0);
  ScopedClockForTests clock(noon);
  const std::string tail =
      ",Ti=1073741823,I=" + std::to_string(platform::CurrentThreadId());  // half a day
  const struct {
    std::string Service, Text;
    int Detail;
    bool Error;
    std::string Line;        // without the Ti and I items
    std::string ParsedText;  // what ParseLogLine gives back as the text
  } rows[] = {
      {"POP3", "Sent: +OK", 2, false, "S=POP3,\"T=Sent: +OK\",D=2,E=0", "Sent: +OK"},
      {"SMTP", "", 5, true, "S=SMTP,D=5,E=1", ""},
      {"", "no service", 7, false, "\"T=no service\",D=7,E=0", "no service"},
      {"Svc", "a\r\nb\r\n", 3, false, "S=Svc,T=a<CRLF>b<CRLF>,D=3,E=0", "a<CRLF>b<CRLF>"},
      // A lone CR or LF is kept, and quoted as a control character.
      {"Svc", "a\rb\nc", 3, false, "S=Svc,\"T=a\rb\nc\",D=3,E=0", "a\rb\nc"},
      {"Svc", "say \"hi\", ok", 10, false, "S=Svc,\"T=say \"\"hi\"\", ok\",D=10,E=0",
       "say \"hi\", ok"},
      {"Two words", "x=y,z", 0, true, "\"S=Two words\",\"T=x=y,z\",D=0,E=1", "x=y,z"},
  };
  for (const auto& row : rows)
    Log(row.Service, row.Text, static_cast<std::uint8_t>(row.Detail), row.Error);
  FlushLog();

  const std::vector<std::string> lines = CrLfLines(DayFile(noon));
  ASSERT_EQ(lines.size(), std::size(rows));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto& row = rows[i];
    SCOPED_TRACE(row.Line);
    EXPECT_EQ(lines[i], row.Line + tail);
    const TLogRec rec = ParseLogLine(lines[i]);
    EXPECT_EQ(rec.Service, row.Service);
    EXPECT_EQ(rec.Text, row.ParsedText);
    EXPECT_EQ(rec.Detail, row.Detail);
    EXPECT_EQ(rec.Error, row.Error);
    EXPECT_NEAR(rec.Time, 0.5, 1e-9);
    EXPECT_EQ(rec.ThreadId, static_cast<std::int32_t>(platform::CurrentThreadId()));
  }
}

TEST(ParseLogLineTest, MissingAndMalformedItems) {
  const struct {
    const char* Line;
    const char* Service;
    const char* Text;
    int Detail;
    bool Error;
    double Time;
    int ThreadId;
  } rows[] = {
      {"S=A,T=b,D=4,E=1,Ti=1073741823,I=77", "A", "b", 4, true, 0.5, 77},
      {"S=A,E=1", "A", "", 5, true, 0, 0},   // no D: 5
      {"S=A,D=4", "A", "", 4, false, 0, 0},  // no E: false
      {"S=A,D=x,E=yes,Ti=?,I=-", "A", "", 5, false, 0, 0},
      {"S=A,D=99999999999,Ti=0,I=2147483648", "A", "", 5, false, 0, 0},
      {"D=-3,Ti=2147483647,I=-5", "", "", -3, false, 1.0, -5},
      {"S=A T=b D=6", "A", "b", 6, false, 0, 0},  // blanks separate items too
      {"\"S=A B\",\"T=x \"\"y\"\"\"", "A B", "x \"y\"", 5, false, 0, 0},
      {"", "", "", 5, false, 0, 0},
      {"\"unterminated, T=1", "", "", 5, false, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Line);
    const TLogRec rec = ParseLogLine(row.Line);
    EXPECT_EQ(rec.Service, row.Service);
    EXPECT_EQ(rec.Text, row.Text);
    EXPECT_EQ(rec.Detail, row.Detail);
    EXPECT_EQ(rec.Error, row.Error);
    EXPECT_NEAR(rec.Time, row.Time, 1e-9);
    EXPECT_EQ(rec.ThreadId, row.ThreadId);
  }
}

// The log tells what mail passes through: its files are the user's alone,
// whatever the umask would let through.
TEST_F(LogTest, DayFileIsCreatedForTheUserAlone) {
  const TDateTime noon = EncodeDateTime(2026, 12, 9, 12, 0, 0);
  ScopedClockForTests clock(noon);
  const mode_t oldMask = ::umask(022);
  Log("Svc", "first record", 5, false);
  ::umask(oldMask);
  FlushLog();
  struct stat st {};
  ASSERT_EQ(::stat(DayFile(noon).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogTest, DetailAndSelectiveOpenRelayFilters) {
  const TDateTime when = EncodeDateTime(2026, 3, 4, 8, 0);
  ScopedClockForTests clock(when);
  const struct {
    int Setting;
    bool Sor;
    int Detail;
    bool Written;
    bool FileMade;  // the day's file exists afterwards
  } rows[] = {
      {10, false, 0, true, true},                                   // default: everything below 11
      {10, false, 10, true, true},  {10, false, 11, false, false},  // 11 only counts in selective
                                                                    // open-relay mode
      {0, false, 9, false, true},  // dropped by detail, but the day's file is made
      {0, false, 10, true, true},   {5, false, 4, false, true},    {5, false, 5, true, true},
      {-3, false, 12, false, true},  // 10 - (-3): nothing below 13 passes
      {10, true, 10, false, false},  // selective mode: only 11 and above
      {10, true, 11, true, true},   {10, true, 12, true, true},    {0, true, 11, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "setting " << row.Setting << " sor " << row.Sor << " detail " << row.Detail);
    std::error_code error;
    fs::remove(DayFile(when), error);
    StartLogModule();
    gSelectiveOpenRelay = row.Sor;
    SetLogDetailLevel(row.Setting);
    Log("Filter", "record", static_cast<std::uint8_t>(row.Detail), false);
    FlushLog();
    EXPECT_EQ(fs::exists(DayFile(when)), row.FileMade);
    EXPECT_EQ(CrLfLines(DayFile(when)).size(), row.Written ? 1u : 0u);
  }
}

TEST_F(LogTest, NothingIsWrittenOutsideTheModule) {
  const TDateTime when = EncodeDateTime(2026, 3, 4, 8, 0);
  ScopedClockForTests clock(when);
  EndLogModule();
  Log("Closed", "before start", 5, false);
  SetLogDetailLevel(0);
  FlushLog();
  EXPECT_FALSE(fs::exists(DayFile(when)));

  StartLogModule();  // the setting made while ended did not stick
  Log("Open", "kept", 5, false);
  EndLogModule();  // closing writes the buffered record
  Log("Closed", "after end", 5, false);
  const std::vector<std::string> lines = CrLfLines(DayFile(when));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(ParseLogLine(lines[0]).Text, "kept");
}

// Log files are dated by the program's clock, but their age is judged by the
// file system's creation time, which a test cannot set. So every file made
// here is born "now", and the clock is set a few days on to make them old.
TEST_F(LogTest, ChangeOfDayOpensNewFileAndDeletesAgedFiles) {
  const TDateTime today = std::floor(Now());
  const TDateTime day1 = today + 1;
  TDateTime clockNow = day1 + HoursMinutes(23, 59);
  SetClockForTests([&clockNow] { return clockNow; });

  Log("Day", "one", 5, false);
  const std::string logDir = GetLogDir();
  // Old files of the log and one file that is no log.
  for (const char* name : {"Halvorn - 01 Jan 2020.log", "Other.LOG", "notes.txt"})
    ASSERT_TRUE(test::WriteFileBytes(logDir + "/" + name, "old\r\n"));

  // Next day, files still younger than the 7 days kept: nothing is deleted.
  clockNow = day1 + 1 + HoursMinutes(0, 1);
  Log("Day", "two", 5, false);
  EXPECT_EQ(GetLogFileName(), LogFileNameForDate(day1 + 1));
  FlushLog();
  EXPECT_EQ(CrLfLines(DayFile(day1)).size(), 1u);
  EXPECT_EQ(ParseLogLine(CrLfLines(DayFile(day1))[0]).Text, "one");
  ASSERT_EQ(CrLfLines(DayFile(day1 + 1)).size(), 1u);
  EXPECT_EQ(ParseLogLine(CrLfLines(DayFile(day1 + 1))[0]).Text, "two");
  EXPECT_TRUE(fs::exists(logDir + "/Halvorn - 01 Jan 2020.log"));
  EXPECT_TRUE(fs::exists(logDir + "/Other.LOG"));

  // Keep one day, and let two more pass: every log file born before the
  // cut-off goes, whatever the case of its extension; other files stay, and
  // so does the file being written.
  SetLogKeepDays(1);
  clockNow = day1 + 3 + HoursMinutes(0, 1);
  Log("Day", "four", 5, false);
  FlushLog();
  EXPECT_FALSE(fs::exists(logDir + "/Halvorn - 01 Jan 2020.log"));
  EXPECT_FALSE(fs::exists(logDir + "/Other.LOG"));
  EXPECT_FALSE(fs::exists(DayFile(day1)));
  EXPECT_FALSE(fs::exists(DayFile(day1 + 1)));
  EXPECT_TRUE(fs::exists(logDir + "/notes.txt"));
  ASSERT_EQ(CrLfLines(DayFile(day1 + 3)).size(), 1u);

  // Aged files are also deleted when the day's file is first opened, not
  // only at a change of day; the day's own file, reopened, is kept.
  EndLogModule();
  ASSERT_TRUE(test::WriteFileBytes(logDir + "/Stale.log", "old\r\n"));
  StartLogModule();
  SetLogKeepDays(1);
  clockNow += HoursMinutes(1, 0);  // same day
  Log("Day", "four again", 5, false);
  FlushLog();
  EXPECT_FALSE(fs::exists(logDir + "/Stale.log"));
  EXPECT_EQ(CrLfLines(DayFile(day1 + 3)).size(), 2u);
}

TEST_F(LogTest, EightThreadsLoggingAtOnce) {
  const TDateTime when = EncodeDateTime(2026, 6, 1, 9, 30);
  ScopedClockForTests clock(when);
  constexpr int kThreads = 8;
  constexpr int kRecords = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRecords; ++i) {
        // Texts that need quoting, doubled quotes and CR LF replacement.
        Log("Worker " + std::to_string(t),
            std::to_string(t) + ":" + std::to_string(i) + " \"quoted\", and\r\nmore", 6,
            i % 2 == 0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  FlushLog();

  const std::vector<std::string> lines = CrLfLines(DayFile(when));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kRecords));
  std::set<std::string> seen;
  std::set<std::int32_t> threadIds;
  for (const std::string& line : lines) {
    const TLogRec rec = ParseLogLine(line);
    const std::size_t colon = rec.Text.find(':');
    ASSERT_NE(colon, std::string::npos) << line;
    const std::string t = rec.Text.substr(0, colon);
    const std::string i = rec.Text.substr(colon + 1, rec.Text.find(' ') - colon - 1);
    EXPECT_EQ(rec.Service, "Worker " + t) << line;
    EXPECT_EQ(rec.Text, t + ":" + i + " \"quoted\", and<CRLF>more") << line;
    EXPECT_EQ(rec.Detail, 6);
    EXPECT_EQ(rec.Error, std::stoi(i) % 2 == 0) << line;
    EXPECT_NEAR(rec.Time, 9.5 / 24, 1e-9);
    EXPECT_TRUE(seen.insert(rec.Text).second) << "twice: " << line;
    threadIds.insert(rec.ThreadId);
  }
  EXPECT_EQ(threadIds.size(), static_cast<std::size_t>(kThreads));
}

TEST_F(LogTest, UnwritableLogFolderLosesRecordsQuietly) {
  const TDateTime when = EncodeDateTime(2026, 6, 1, 9, 30);
  ScopedClockForTests clock(when);
  // A file where the Log folder should be: no one, not even root, can create
  // the folder or a file in it.
  ASSERT_TRUE(fs::create_directories(FRoot.Sub("home")));
  ASSERT_TRUE(test::WriteFileBytes(FRoot.Sub("home/Log"), "not a folder"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_NO_THROW(Log("Svc", "lost", 5, true));
    EXPECT_NO_THROW(FlushLog());
  }
  EXPECT_EQ(DeleteOldLogFiles(), 0);
  EXPECT_EQ(test::ReadFileBytes(FRoot.Sub("home/Log")), "not a folder");

  // Once the folder can be written, the next record opens the day's file.
  fs::remove(FRoot.Sub("home/Log"));
  ASSERT_TRUE(fs::create_directory(FRoot.Sub("home/Log")));
  Log("Svc", "kept", 5, false);
  FlushLog();
  const std::vector<std::string> lines = CrLfLines(DayFile(when));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(ParseLogLine(lines[0]).Text, "kept");
}

TEST_F(LogTest, ReadOnlyDayFileDoesNotThrow) {
  const TDateTime when = EncodeDateTime(2026, 6, 2, 9, 30);
  ScopedClockForTests clock(when);
  // The day's file is a folder: it cannot be opened for appending.
  ASSERT_TRUE(fs::create_directories(DayFile(when)));
  EXPECT_NO_THROW(Log("Svc", "lost", 5, false));
  EXPECT_NO_THROW(FlushLog());
  EXPECT_TRUE(fs::is_directory(DayFile(when)));
}

}  // namespace
}  // namespace halvorn
