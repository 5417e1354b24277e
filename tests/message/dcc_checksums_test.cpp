#include "message/dcc_checksums.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/install_folders.h"
#include "dcc_test_support.h"
#include "foundation/text/string_list.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using namespace std::string_literals;
using test::Recording;
using test::ScopedDccFolder;

TDigest16 DigestOf(std::uint8_t first, std::uint8_t step = 1) {
  TDigest16 d;
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(first + i * step);
  return d;
}

// ---------------------------------------------------------------------------
// Names, counts and sums

TEST(DccNames, TypeNamesAndTargetCountTexts) {
  const struct {
    int type;
    const char* name;
  } types[] = {{0, "DCC_CK_INVALID"},     {1, "DCC_CK_IP"},     {2, "DCC_CK_ENV_FROM"},
               {5, "DCC_CK_MESSAGE_ID"},  {7, "DCC_CK_BODY"},   {8, "DCC_CK_FUZ1"},
               {9, "DCC_CK_FUZ2"},        {12, "DCC_CK_SRVR_ID"}, {13, "DCC_CK_ENV_TO"},
               {14, "NONEXISTANT TYPE"},  {-1, "NONEXISTANT TYPE"}, {255, "NONEXISTANT TYPE"}};
  for (const auto& row : types) {
    SCOPED_TRACE(row.type);
    EXPECT_EQ(DccChecksumTypeName(row.type), row.name);
  }

  const struct {
    std::uint32_t count;
    const char* text;
    bool special;
  } counts[] = {{0, "0", false},
                {17, "17", false},
                {0xFFFFEF, "16777199", false},
                {0xFFFFF0, "DCC_TGTS_TOO_MANY", true},
                {0xFFFFF1, "DCC_TGTS_OK", true},
                {0xFFFFF2, "DCC_TGTS_OK2", true},
                {0xFFFFF3, "DCC_TGTS_DEL", true},
                {0xFFFFF4, "16777204", false},
                {0x1000000, "DCC_TGTS_INVALID", true},
                {0xFFFFFFFF, "4294967295", false}};
  for (const auto& row : counts) {
    SCOPED_TRACE(row.count);
    EXPECT_EQ(DccTargetCountText(row.count), row.text);
    EXPECT_EQ(IsSpecialDccTargetCount(row.count), row.special);
  }
}

TEST(DccNames, TargetCountsRankAsTheProtocolOrdersThem) {
  constexpr int kAbove = 0, kBelow = 1, kEqual = 2;
  const struct {
    std::uint32_t a, b;
    int answer;
  } rows[] = {
      {5, 5, kEqual},
      {DCC_TGTS_OK, DCC_TGTS_OK, kEqual},
      {DCC_TGTS_TOO_MANY, DCC_TGTS_OK, kAbove},
      {DCC_TGTS_TOO_MANY, 3, kAbove},
      {DCC_TGTS_OK, DCC_TGTS_TOO_MANY, kBelow},
      {DCC_TGTS_OK, 0, kBelow},
      {DCC_TGTS_OK2, DCC_TGTS_OK, kBelow},
      {DCC_TGTS_OK2, 3, kAbove},
      {DCC_TGTS_OK2, DCC_TGTS_DEL, kAbove},
      {DCC_TGTS_DEL, DCC_TGTS_INVALID, kEqual},
      {DCC_TGTS_INVALID, DCC_TGTS_DEL, kEqual},
      {DCC_TGTS_DEL, 0, kBelow},
      {DCC_TGTS_INVALID, DCC_TGTS_OK, kBelow},
      {7, DCC_TGTS_TOO_MANY, kBelow},
      {7, DCC_TGTS_OK, kAbove},
      {7, DCC_TGTS_OK2, kAbove},
      {7, DCC_TGTS_DEL, kAbove},
      {7, DCC_TGTS_INVALID, kAbove},
      {7, 8, kBelow},
      {8, 7, kAbove},
      {0xFFFFFFFF, 1, kAbove},  // unsigned: the largest ordinary count
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(DccTargetCountText(row.a) + " vs " + DccTargetCountText(row.b));
    EXPECT_EQ(CompareDccTargetCounts(row.a, row.b), row.answer);
  }
}

TEST(DccDigest, HexFormsRoundTripAndStopAtTheFirstBadPair) {
  const TDigest16 d = DigestOf(0xA0, 3);
  EXPECT_EQ(DigestToHex(d), "a0a3a6a9acafb2b5b8bbbec1c4c7cacd");
  TDigest16 back;
  HexToDigest(DigestToHex(d), back);
  EXPECT_TRUE(SameDigest16(back, d));

  const struct {
    const char* text;
    const char* digest;  // as DigestToHex gives it
  } rows[] = {
      {"A0A3A6A9ACAFB2B5B8BBBEC1C4C7CACD", "a0a3a6a9acafb2b5b8bbbec1c4c7cacd"},
      {"0102zz0405", "01020000000000000000000000000000"},  // bad third pair
      {"01020g04", "01020000000000000000000000000000"},    // half a bad pair
      {"010203", "01020300000000000000000000000000"},
      {"0102030", "01020300000000000000000000000000"},     // a lone last digit
      {"", "00000000000000000000000000000000"},
      {"00112233445566778899aabbccddeeff77", "00112233445566778899aabbccddeeff"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    TDigest16 sum = DigestOf(1);  // every byte is overwritten
    HexToDigest(row.text, sum);
    EXPECT_EQ(DigestToHex(sum), row.digest);
  }

  TDigest16 sum = DigestOf(1);
  EXPECT_FALSE(IsDigest16Empty(sum));
  ClearDigest16(sum);
  EXPECT_TRUE(IsDigest16Empty(sum));
}

// ---------------------------------------------------------------------------
// The record

TEST(DccRecord, SetPutsATypeInItsOwnSlotElseTheFirstFree) {
  TDccChecksums record;
  EXPECT_TRUE(IsDccRecordEmpty(record));

  SetDccSum(DCC_CK_BODY, DigestOf(7), record);
  EXPECT_EQ(IndexOfDccSum(DCC_CK_BODY, record), 8);  // slot 7 counting from 0
  EXPECT_EQ(record.Slots[7].Type, DCC_CK_BODY);
  EXPECT_FALSE(IsDccRecordEmpty(record));

  // Type 25 has no slot of its own: the first free one, slot 0.
  SetDccSum(25, DigestOf(25), record);
  EXPECT_EQ(IndexOfDccSum(25, record), 1);
  SetDccSum(DCC_CK_FROM, DigestOf(3), record);
  EXPECT_EQ(IndexOfDccSum(DCC_CK_FROM, record), 4);
  SetDccSum(DCC_CK_IP, DigestOf(1), record);
  EXPECT_EQ(IndexOfDccSum(DCC_CK_IP, record), 2);
  // Slot 9 is taken by another type: FUZ2 goes to the first free, slot 2.
  SetDccSum(DCC_CK_SRVR_ID, DigestOf(12), record);
  record.Slots[9] = record.Slots[12];
  record.Slots[12] = TDccSlot{};
  SetDccSum(DCC_CK_FUZ2, DigestOf(9), record);
  EXPECT_EQ(IndexOfDccSum(DCC_CK_FUZ2, record), 3);
  EXPECT_EQ(IndexOfDccSum(DCC_CK_SRVR_ID, record), 10);

  // A type already present keeps its slot; the sum is replaced and the
  // target count the servers gave stays.
  record.Slots[7].TargetCount = 42;
  SetDccSum(DCC_CK_BODY, DigestOf(70), record);
  EXPECT_EQ(IndexOfDccSum(DCC_CK_BODY, record), 8);
  TDigest16 sum;
  GetDccSum(DCC_CK_BODY, record, sum);
  EXPECT_TRUE(SameDigest16(sum, DigestOf(70)));
  EXPECT_EQ(GetDccTargetCount(DCC_CK_BODY, record), 42u);

  // Types that do not fit the type byte, and type 0 (a free slot), are not
  // stored: they would land as another type or stay invisible.
  const TDccChecksums before = record;
  for (int type : {0, -3, 256, 263}) SetDccSum(type, DigestOf(99), record);
  EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0);
}

TEST(DccRecord, AFullRecordStoresNothingMore) {
  TDccChecksums record;
  for (int i = 0; i < kDccSlotCount; ++i) SetDccSum(100 + i, DigestOf(i), record);
  for (int i = 0; i < kDccSlotCount; ++i) EXPECT_EQ(IndexOfDccSum(100 + i, record), i + 1);
  const TDccChecksums full = record;
  SetDccSum(DCC_CK_BODY, DigestOf(1), record);
  EXPECT_EQ(IndexOfDccSum(DCC_CK_BODY, record), 0);
  EXPECT_EQ(std::memcmp(&full, &record, sizeof record), 0);
}

TEST(DccRecord, AbsentTypesAndRemoval) {
  TDccChecksums record;
  TDigest16 sum = DigestOf(5);
  GetDccSum(DCC_CK_FUZ1, record, sum);
  EXPECT_TRUE(IsDigest16Empty(sum));
  EXPECT_EQ(IndexOfDccSum(DCC_CK_FUZ1, record), 0);
  EXPECT_EQ(GetDccTargetCount(DCC_CK_FUZ1, record), DCC_TGTS_INVALID);
  EXPECT_EQ(DccTargetCountText(GetDccTargetCount(DCC_CK_FUZ1, record)), "DCC_TGTS_INVALID");
  EXPECT_FALSE(RemoveDccSum(DCC_CK_FUZ1, record));
  EXPECT_TRUE(IsDccRecordEmpty(record));

  SetDccSum(DCC_CK_MESSAGE_ID, DigestOf(5), record);
  record.Slots[5].TargetCount = 3;
  record.Slots[5].Unused = 9;
  EXPECT_TRUE(RemoveDccSum(DCC_CK_MESSAGE_ID, record));
  EXPECT_EQ(record.Slots[5].Type, DCC_CK_INVALID);
  EXPECT_EQ(record.Slots[5].TargetCount, DCC_TGTS_INVALID);
  EXPECT_TRUE(IsDigest16Empty(record.Slots[5].Sum));
  EXPECT_EQ(record.Slots[5].Unused, 9u);  // other fields stay
  EXPECT_EQ(IndexOfDccSum(DCC_CK_MESSAGE_ID, record), 0);
  EXPECT_FALSE(RemoveDccSum(DCC_CK_MESSAGE_ID, record));

  // The removed slot still holds a count, so the record is not empty.
  EXPECT_FALSE(IsDccRecordEmpty(record));
  ClearDccRecord(record);
  EXPECT_TRUE(IsDccRecordEmpty(record));
}

TEST(DccRecord, SameRecordComparesTypesAndSumsOnly) {
  TDccChecksums a;
  SetDccSum(DCC_CK_BODY, DigestOf(7), a);
  SetDccSum(DCC_CK_FUZ1, DigestOf(8), a);
  TDccChecksums b = a;
  b.Slots[7].TargetCount = DCC_TGTS_TOO_MANY;
  b.Slots[8].Unused = 1;
  b.Slots[8].Unused2 = 1;
  EXPECT_TRUE(SameDccRecord(a, b));

  TDccChecksums otherSum = a;
  otherSum.Slots[8].Sum[15] ^= 1;
  EXPECT_FALSE(SameDccRecord(a, otherSum));
  TDccChecksums otherType = a;
  otherType.Slots[8].Type = DCC_CK_FUZ2;
  EXPECT_FALSE(SameDccRecord(a, otherType));
  // The same sums in other slots are another record.
  TDccChecksums moved;
  SetDccSum(DCC_CK_FUZ1, DigestOf(8), moved);
  SetDccSum(DCC_CK_BODY, DigestOf(7), moved);
  moved.Slots[0] = moved.Slots[8];
  moved.Slots[8] = TDccSlot{};
  EXPECT_FALSE(SameDccRecord(a, moved));
}

// ---------------------------------------------------------------------------
// The binding

TEST(DccBinding, TheLibraryGetsEachLineWithOneLfAndItsContext) {
  ScopedDccFolder folder(HALVORN_DCC_RECORDING_FOLDER);
  Recording recording;
  ASSERT_TRUE(recording.Loaded());

  const struct {
    std::string line, fed;
  } rows[] = {
      {"abc", "abc\n"},
      {"", "\n"},
      {"a\r\nb", "a\nb\n"},      // a CR LF inside a line becomes LF
      {"\r\n", "\n\n"},
      {"x\r", "x\r\n"},          // a CR alone stays
      {"a\rb\n", "a\rb\n\n"},    // so does a lone LF
      {"\r\n\r\nz", "\n\nz\n"},
      {"tab\tand blank ", "tab\tand blank \n"},
  };
  TStringList lines;
  for (const auto& row : rows) lines.Add(row.line);

  TDccChecksums record;
  SetDccSum(DCC_CK_FUZ2, DigestOf(1), record);  // cleared before the library writes
  ASSERT_TRUE(ComputeDccChecksums(lines, record));

  const std::vector<std::string> texts = recording.Texts();
  ASSERT_EQ(texts.size(), std::size(rows));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(test::HexOf(rows[i].line));
    EXPECT_EQ(texts[i], rows[i].fed);
  }
  // Every call of the computation carries the context DccInit gave.
  const std::vector<std::uint32_t> contexts = recording.LineContexts();
  ASSERT_FALSE(contexts.empty());
  EXPECT_NE(contexts[0], 0u);
  for (std::uint32_t c : contexts) EXPECT_EQ(c, contexts[0]);
  EXPECT_EQ(recording.FinalContexts(), std::vector<std::uint32_t>{contexts[0]});
  // The sums written are the caller's, and nothing else is left in it.
  TDccChecksums expected;
  expected.Slots[DCC_CK_BODY].Type = DCC_CK_BODY;
  expected.Slots[DCC_CK_BODY].Sum[0] = static_cast<std::uint8_t>(std::size(rows));
  EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);
}

TEST(DccBinding, AMissingLibraryOrExportAnswersFalse) {
  test::TempFolder home, empty;
  test::ScopedEnv env("HALVORN_HOME", home.Path());
  ResetFolderCachesForTests();
  static_assert(!DccChecksumsArePublic());
  EXPECT_FALSE(DccChecksumsArePublic());

  TStringList lines{"Message-ID: <a@b>", "", "body"};
  TDccChecksums record;
  std::uint32_t context = 0;
  {
    ScopedDccFolder folder(empty.Path());
    EXPECT_FALSE(LoadDccLibrary());
    EXPECT_FALSE(CallDccInit(context));
    EXPECT_FALSE(CallDccChecksumLine("abc", 1));
    EXPECT_FALSE(CallDccFinalize(record, context));
    SetDccSum(DCC_CK_BODY, DigestOf(1), record);
    EXPECT_FALSE(ComputeDccChecksums(lines, record));
    EXPECT_TRUE(IsDccRecordEmpty(record));
  }
  {
    ScopedDccFolder folder(HALVORN_DCC_INIT_ONLY_FOLDER);
    EXPECT_TRUE(LoadDccLibrary());
    EXPECT_TRUE(CallDccInit(context));
    EXPECT_FALSE(CallDccChecksumLine("abc", context));
    EXPECT_FALSE(CallDccFinalize(record, context));
    SetDccSum(DCC_CK_BODY, DigestOf(1), record);
    EXPECT_FALSE(ComputeDccChecksums(lines, record));
    EXPECT_TRUE(IsDccRecordEmpty(record));
  }
  ResetFolderCachesForTests();
}

TEST(DccBinding, TheInstallFolderIsTriedAfterTheProgramFolder) {
  test::TempFolder home, empty;
  test::ScopedEnv env("HALVORN_HOME", home.Path());
  ResetFolderCachesForTests();
  ScopedDccFolder folder(empty.Path());
  EXPECT_FALSE(LoadDccLibrary());

  std::filesystem::copy_file(std::string(HALVORN_DCC_RECORDING_FOLDER) + "/" + kDccLibraryFileName,
                             GetInstallDir() + "/" + kDccLibraryFileName);
  EXPECT_TRUE(LoadDccLibrary());
  std::uint32_t context = 0;
  EXPECT_TRUE(CallDccInit(context));
  TDccChecksums record;
  EXPECT_TRUE(CallDccFinalize(record, context));

  // Once loaded it stays loaded, file or not; module start-up tries again.
  std::filesystem::remove(GetInstallDir() + "/" + kDccLibraryFileName);
  EXPECT_TRUE(LoadDccLibrary());
  StartDccChecksumsModule();
  EXPECT_FALSE(LoadDccLibrary());
  EndDccChecksumsModule();
  ResetFolderCachesForTests();
}

// ---------------------------------------------------------------------------
// Our library's sums against the same rules written in Python

// Reads "P <path>" (a message file) or "H <hex>" (message bytes) a line and
// writes "5=<md5> 7=<md5> 8=<md5> 9=<md5>" for each, "-" for a sum left out.
// The message's lines are split as the program reads files (at CR LF, lone
// CR and lone LF, the text ending at a zero byte), and a first "From " line
// is dropped.
const char* const kSumsOracle = R"PY(
import hashlib, re, sys

def lines_of(data):
    data = data.split(b'\0', 1)[0]
    if not data:
        return []
    parts = re.split(rb'\r\n|\r|\n', data)
    if data.endswith((b'\r', b'\n')):
        parts.pop()
    return parts

def md5(b):
    return hashlib.md5(b).hexdigest()

def blank_first(line):
    return line[:1] in (b' ', b'\t')

def sums(lines):
    if lines and lines[0].startswith(b'From '):
        lines = lines[1:]
    out = {}
    if b'' in lines:
        k = lines.index(b'')
        header, body = lines[:k], lines[k + 1:]
    else:
        header, body = lines, []
    for i, line in enumerate(header):
        if blank_first(line) or b':' not in line:
            continue
        name, _, value = line.partition(b':')
        if name.rstrip(b' \t').lower() != b'message-id':
            continue
        for more in header[i + 1:]:
            if not blank_first(more):
                break
            value += more
        value = value.strip(b' \t')
        if value:
            out[5] = md5(value)
        break
    text = b'\n'.join(body)
    visible = text.translate(None, bytes(range(33)))
    if visible:
        out[7] = md5(visible)
    tagfree = re.sub(rb'<[^>]*>?', b'', text)
    words = {w.lower() for w in re.findall(rb'[A-Za-z]+', tagfree) if 3 <= len(w) <= 20}
    if len(words) >= 8:
        out[8] = md5(re.sub(rb'[^A-Za-z]+', b'', tagfree).lower())
        out[9] = md5(b' '.join(sorted(words)))
    return ' '.join('%d=%s' % (t, out.get(t, '-')) for t in (5, 7, 8, 9))

for request in sys.stdin.read().splitlines():
    kind, arg = request.split(' ', 1)
    data = open(arg, 'rb').read() if kind == 'P' else bytes.fromhex(arg)
    print(sums(lines_of(data)))
)PY";

void DropFromLine(TStringList& lines) {
  if (lines.Count() > 0 && lines[0].rfind("From ", 0) == 0) lines.Delete(0);
}

// The lines of a message as the program reads them from a file, and as the
// oracle takes them.
TStringList MessageLines(const std::string& bytes) {
  TStringList lines;
  lines.SetText(bytes.substr(0, bytes.find('\0')));
  DropFromLine(lines);
  return lines;
}

// The record in the oracle's form; a fault when a slot other than those of
// the four sums is used, or a sum is not in the slot of its own number with
// target count 0.
std::string SumsText(const TDccChecksums& record, std::string& fault) {
  std::string text;
  for (int type : {DCC_CK_MESSAGE_ID, DCC_CK_BODY, DCC_CK_FUZ1, DCC_CK_FUZ2}) {
    if (!text.empty()) text += ' ';
    const TDccSlot& slot = record.Slots[type];
    text += std::to_string(type) + "=" + (slot.Type == type ? DigestToHex(slot.Sum) : "-");
  }
  TDccChecksums others = record;
  for (int type : {DCC_CK_MESSAGE_ID, DCC_CK_BODY, DCC_CK_FUZ1, DCC_CK_FUZ2}) {
    if (others.Slots[type].Type == type) {
      others.Slots[type].Type = 0;
      others.Slots[type].Sum = {};
    }
  }
  if (!IsDccRecordEmpty(others)) fault = "a field or slot besides the four sums is set";
  return text;
}

// Computes a message's sums through the binding and the built library.
std::string LibrarySums(const TStringList& lines, std::string& fault) {
  TDccChecksums record;
  if (!ComputeDccChecksums(lines, record)) {
    fault = "the computation failed";
    return {};
  }
  return SumsText(record, fault);
}

std::vector<std::string> OracleSums(const std::string& requests) {
  const test::CommandResult result = test::RunPython(kSumsOracle, requests);
  EXPECT_EQ(result.ExitCode, 0);
  return test::OutputLines(result.Output);
}

// Which sums each message gets; the oracle gives their values.
struct SumsCase {
  const char* name;
  std::string message;
  const char* present;  // the types that get a slot
};

const SumsCase kSumsCases[] = {
    {"a plain message", 
     "Message-ID: <abc@example.org>\r\nSubject: s\r\n\r\n"
     "The quick brown fox jumps over the lazy dog again\r\n",
     "5 7 8 9"},
    {"a short note shares too few words for fuzzy sums",
     "Message-Id: <n@x>\n\nSee you at noon.\n", "5 7"},
    {"the name in any case, blanks before the colon, a folded value",
     "message-id :\n\t<folded@x>  \n  <more> \nMessage-ID: <second@x>\n\nbody\n", "5 7"},
    {"an empty first Message-ID hides a later one",
     "Message-ID:  \t \nMessage-ID: <later@x>\n\nbody\n", "7"},
    {"a continuation of another field is not the id",
     "Subject: x\n Message-ID: <no@x>\nX-Message-ID: <no@x>\n\nbody\n", "7"},
    {"without an empty line everything is header",
     "Message-ID: <h@x>\nSubject: no body\n", "5"},
    {"a body of blanks only", "Subject: x\n\n \t \n\n", ""},
    {"an empty message", "", ""},
    {"tags go, across lines, and letters join where a tag was",
     "Subject: html\n\n<html><body bgcolor=\"white\">\nAl<b>pha</b> bravo charlie delta echo\n"
     "foxtrot golf hotel india <a href=\"x\"\nmore>juliet kilo <unclosed lima mike\nnovember\n",
     "7 8 9"},
    {"seven distinct words after case folding: runs over 20 letters are none",
     "Subject: w\n\nABCDEFGHIJKLMNOPQRSTU abcdefghijklmnopqrst Word word WORD one two three four "
     "five\n",
     "7"},
    {"eight distinct words", 
     "Subject: w\n\nABCDEFGHIJKLMNOPQRSTU abcdefghijklmnopqrst Word word WORD one two three four "
     "five six\n",
     "7 8 9"},
    {"digits, underscores and 8-bit bytes end words",
     "Subject: w\n\nalpha1beta gamma_delta epsilon\xE9zeta eta theta iota kappa\n", "7 8 9"},
    {"line ends CR LF, lone CR and lone LF",
     "Message-ID: <cr@x>\r\rBody\r\nline one two three\nfour five six seven eight\r", "5 7 8 9"},
    {"an mbox From line is no header line",
     "From someone Mon Jan  1 00:00:00 2024\nMessage-ID: <f@x>\n\nbody text\n", "5 7"},
    {"a zero byte ends the text", "Message-ID: <z@x>\n\nbody\0 more words here\n"s, "5 7"},
};

TEST(DccLibrarySums, FollowTheRulesOnCraftedMessages) {
  ScopedDccFolder folder(HALVORN_DCC_LIBRARY_FOLDER);
  ASSERT_TRUE(LoadDccLibrary());
  std::string requests;
  for (const SumsCase& row : kSumsCases) requests += "H " + test::HexOf(row.message) + "\n";
  const std::vector<std::string> expected = OracleSums(requests);
  ASSERT_EQ(expected.size(), std::size(kSumsCases));

  for (std::size_t i = 0; i < std::size(kSumsCases); ++i) {
    const SumsCase& row = kSumsCases[i];
    SCOPED_TRACE(row.name);
    std::string fault;
    const std::string sums = LibrarySums(MessageLines(row.message), fault);
    EXPECT_EQ(fault, "");
    EXPECT_EQ(sums, expected[i]);
    std::string present;
    std::istringstream fields(expected[i]);
    for (std::string field; fields >> field;) {
      if (field.substr(2) == "-") continue;
      if (!present.empty()) present += ' ';
      present += field.substr(0, 1);
    }
    EXPECT_EQ(present, row.present);
  }
}

TEST(DccLibrarySums, EqualTheRulesOnEveryCorpusMessage) {
  const std::vector<std::string> files = test::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "the mail corpus is not available";
  ScopedDccFolder folder(HALVORN_DCC_LIBRARY_FOLDER);
  ASSERT_TRUE(LoadDccLibrary());

  std::string requests;
  for (const std::string& file : files) requests += "P " + file + "\n";
  const std::vector<std::string> expected = OracleSums(requests);
  ASSERT_EQ(expected.size(), files.size());

  int mismatches = 0, withFuzzy = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string fault;
    TStringList lines;
    ASSERT_TRUE(lines.LoadFromFile(files[i])) << files[i];
    DropFromLine(lines);
    const std::string sums = LibrarySums(lines, fault);
    if (sums.find("8=-") == std::string::npos) ++withFuzzy;
    if (sums == expected[i] && fault.empty()) continue;
    if (++mismatches <= 5) {
      ADD_FAILURE() << files[i] << "\n  library: " << sums << " " << fault
                    << "\n  oracle:  " << expected[i];
    }
  }
  EXPECT_EQ(mismatches, 0);
  // Most real messages are long enough for fuzzy sums; a rule that dropped
  // them everywhere would otherwise pass unseen.
  EXPECT_GT(withFuzzy, static_cast<int>(files.size()) / 2);
}

TEST(DccLibrarySums, ContextsEndOnceAndStayBounded) {
  ScopedDccFolder folder(HALVORN_DCC_LIBRARY_FOLDER);
  TDccChecksums record;
  std::uint32_t unknown = 0xFFFFFFF0;
  EXPECT_FALSE(CallDccFinalize(record, unknown));

  std::uint32_t context = 0;
  ASSERT_TRUE(CallDccInit(context));
  EXPECT_NE(context, 0u);
  std::uint32_t copy = context;
  EXPECT_TRUE(CallDccFinalize(record, context));
  EXPECT_EQ(context, 0u);
  EXPECT_FALSE(CallDccFinalize(record, copy));  // already ended

  // Computations that are never ended cannot use up memory: the library
  // refuses new ones past its limit, and takes them again once some end.
  std::vector<std::uint32_t> open;
  for (;;) {
    std::uint32_t c = 0;
    if (!CallDccInit(c)) break;
    open.push_back(c);
    ASSERT_LT(open.size(), 100000u);
  }
  EXPECT_EQ(open.size(), 4096u);
  EXPECT_TRUE(CallDccFinalize(record, open.back()));
  open.pop_back();
  std::uint32_t again = 0;
  EXPECT_TRUE(CallDccInit(again));
  open.push_back(again);
  for (std::uint32_t& c : open) EXPECT_TRUE(CallDccFinalize(record, c));
}

TEST(DccLibraryThreads, ComputationsOnManyThreadsKeepApart) {
  ScopedDccFolder folder(HALVORN_DCC_LIBRARY_FOLDER);
  ASSERT_TRUE(LoadDccLibrary());
  std::vector<TStringList> messages;
  std::vector<std::string> expected;
  for (const SumsCase& row : kSumsCases) {
    messages.push_back(MessageLines(row.message));
    std::string fault;
    expected.push_back(LibrarySums(messages.back(), fault));
  }

  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (std::size_t i = 0; i < messages.size(); ++i) {
          const std::size_t m = (i + t) % messages.size();
          std::string fault;
          if (LibrarySums(messages[m], fault) != expected[m] || !fault.empty()) ++wrong[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace halvorn
