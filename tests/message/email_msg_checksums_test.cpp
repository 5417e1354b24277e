// A message's checksum array against one computed in Python (hashlib) from
// the message as Python's email package reads it, and its DCC record: what
// the library is fed, the side-record cache, and a second message object on
// the same side record that never needs the library.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dcc_test_support.h"
#include "email_msg_fakes.h"
#include "foundation/files/install_folders.h"
#include "message/email_msg.h"
#include "message/mime_decoders.h"
#include "notice_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::CrLf;
using test::MessageFromBytes;

class ChecksumAssemblyTest : public test::MessageFolderTest {};

std::string Base64Lines(const std::string& bytes) {
  TStringList lines;
  TBase64Decoder().Encode(bytes, lines);
  return lines.Text();
}

// Three sentences, one GIF attached twice, Received lines from 10.0.0.1 and
// 192.0.2.7.
std::string ChecksumFixture() {
  std::string gif = "GIF89a";
  for (int i = 0; gif.size() < 1300; ++i) gif += static_cast<char>((i * 37 + 11) % 256);
  const std::string attachment = Base64Lines(gif);
  std::string text = CrLf(
      "Received: from a.example.com (a.example.com [10.0.0.1]) by b.example.com; Tue, 3 Dec 2002 10:15:00 +0100\n"
      "Received: from c.example.org (c.example.org [192.0.2.7])\n\tby a.example.com; Tue, 3 Dec 2002 10:14:00 +0100\n"
      "From: Alice <alice@example.com>\n"
      "Subject: Checksums\n"
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n"
      "--b\nContent-Type: text/plain; charset=us-ascii\n\n"
      "The quick brown fox jumps over the lazy dog. Pack my box with five dozen liquor jugs!\n"
      "How vexingly quick daft zebras jump?\n");
  for (const char* name : {"a.gif", "b.gif"})
    text += CrLf(std::string("--b\nContent-Type: image/gif; name=\"") + name +
                 "\"\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"" + name +
                 "\"\n\n") +
            attachment;
  return text + CrLf("--b--\n");
}

// The array from the rules alone: sentences of the plain part (lower-cased,
// letters and sentence marks kept, pieces over 4 characters), MD5 into 24
// bits with their type; each image's stream checksum; the Received
// addresses as pairs; repeats removed by moving the last entry in.
const char* const kChecksumOracle = R"PY(
import email, hashlib, re, socket, struct, sys
msg = email.message_from_bytes(sys.stdin.buffer.read())
def typed(t, digest):
    return (t << 24) | (struct.unpack("<I", digest[:4])[0] >> 8)
array = []
for part in msg.walk():
    if part.get_content_type() == "text/plain":
        text = part.get_payload(decode=True).decode("ascii").lower() + "."
        kept = "".join(c for c in text if c.isascii() and (c.islower() or c in "!.?"))
        for piece in re.split(r"[!.?]", kept):
            if len(piece) > 4:
                array.append(typed(1, hashlib.md5(piece.encode()).digest()))
for part in msg.walk():
    if part.get_filename():
        data = part.get_payload(decode=True)
        array.append(typed(2, hashlib.md5(data[-1024:]).digest()))
for index, value in enumerate(msg.get_all("Received")):
    address = re.search(r"\[([0-9.]+)\]", value).group(1)
    number = struct.unpack("<I", socket.inet_aton(address))[0]
    array.append((5 << 24) | ((number & 0xFFFF) << 8) | 0x80 | index)
    array.append((5 << 24) | ((number >> 16) << 8) | index)
i = 0
while i < len(array):
    j = i + 1
    while j < len(array):
        if array[j] == array[i]:
            array[j] = array[-1]
            array.pop()
        else:
            j += 1
    i += 1
print(" ".join(str(c) for c in array))
)PY";

TEST_F(ChecksumAssemblyTest, TheArrayAgreesWithPythonAndIsComputedOnce) {
  const std::string text = ChecksumFixture();
  TEmailMsgRef msg = MessageFromBytes(text);
  TCheckSumArray first, second;
  const int length = msg->GetCheckSums(first, false);
  ASSERT_EQ(length, static_cast<int>(first.size()));
  msg->GetCheckSums(second, false);
  EXPECT_EQ(first, second);
  EXPECT_EQ(msg->CheckSumCount.load(), 1);

  const test::CommandResult py = test::RunPython(kChecksumOracle, text);
  ASSERT_EQ(py.ExitCode, 0) << py.Output;
  std::string ours;
  for (std::uint32_t c : first) ours += (ours.empty() ? "" : " ") + std::to_string(c);
  EXPECT_EQ(ours + "\n", py.Output);
  // Three sentences, one image, four address halves.
  EXPECT_EQ(first.size(), 8u);

  // A change of the content computes them again.
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  msg->GetTextParts(plain, html);
  ASSERT_NE(plain, nullptr);
  plain->EncodeFromStringList(TStringList{"Another sentence altogether here."}, false);
  msg->GetCheckSums(second, false);
  EXPECT_NE(first, second);
  EXPECT_EQ(msg->CheckSumCount.load(), 2);
}

TEST_F(ChecksumAssemblyTest, ImagesOfAnAttachedMessageAndReceivedAddresses) {
  // An attached message as the whole message: no image checksums.
  TEmailMsgRef attached = MessageFromBytes(CrLf("Content-Type: message/rfc822\n\nSubject: inner\n\nbody\n"));
  TCheckSumArray images;
  attached->GetImageChecksums(images);
  EXPECT_TRUE(images.empty());

  // Only dotted IPv4 sending addresses count, from the top, after what is
  // there already.
  TEmailMsgRef msg = MessageFromBytes(
      CrLf("Received: from a (a [10.0.0.1]) by b\nReceived: from c (c [IPv6:::1]) by d\n"
           "Received: from e (e [1.2.3]) by f\nReceived: from g (g [192.0.2.7]) by h\nSubject: s\n\nx\n"));
  TCheckSumArray pairs{MakeChecksumPair(5, 4, cstReceivedAddrPair)[0]};
  msg->GetReceivedIpChecksums(pairs);
  ASSERT_EQ(pairs.size(), 5u);
  EXPECT_EQ(SplitPairChecksum(pairs[1]).Index, 5);
  EXPECT_EQ(SplitPairChecksum(pairs[3]).Index, 6);
  EXPECT_EQ(pairs[1], MakeChecksumPair(StrToIP("10.0.0.1"), 5, cstReceivedAddrPair)[0]);
  EXPECT_EQ(pairs[4], MakeChecksumPair(StrToIP("192.0.2.7"), 6, cstReceivedAddrPair)[1]);
}

TEST_F(ChecksumAssemblyTest, PrefetchRunsOnce) {
  TEmailMsgRef msg = MessageFromBytes(test::NoticeFixtures()[4].Text);
  EXPECT_FALSE(msg->PrefetchChecksums());
  EXPECT_TRUE(msg->PrefetchDone.load());
  EXPECT_TRUE(msg->PrefetchChecksums());
}

// ---------------------------------------------------------------------------
// DCC

// The program's own Received line, as the download writes it, and the older
// form; what the library is fed without a backup starts after it.
TEST_F(ChecksumAssemblyTest, WithoutBackupTheLibraryIsFedTheTextAfterTheOwnReceivedLine) {
  test::ScopedDccFolder folder(HALVORN_DCC_RECORDING_FOLDER);
  const std::string rest = "Received: from mx.example.com by pop.example.com; Tue, 3 Dec 2002 10:15:00 +0100\n"
                           "Subject: s\nMessage-Id: <a@b>\n\nbody line\n";
  const struct {
    const char* own;  // the first lines, dropped
    const char* kept;  // first lines that stay
  } rows[] = {
      {"Received: from pop.example.com by LocalHost with POP3 Quorvantis Halvornv1.0.0.0 id XyZ;\n"
       "\tTue, 3 Dec 2002 10:16:00 +0100\n",
       ""},
      {"received: FROM pop.example.com BY host WITH pop3 QUORVANTIS Halvornv1.0.0.0 id a; date\n", ""},
      {"Received: from x by quorvantis: 1.0 ; date\n \tcontinued\n", ""},
      {"", "X-Received: with POP3 Quorvantis x\n"},
      {"", "Received: from a by b with SMTP; Quorvantis date\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.own[0] ? row.own : row.kept);
    test::Recording recording;
    ASSERT_TRUE(recording.Loaded());
    TEmailMsgRef msg = MessageFromBytes(CrLf(std::string(row.own) + row.kept + rest));
    TDccChecksums record;
    ASSERT_TRUE(msg->GetDccChecksums(record));
    TStringList expected;
    expected.SetText(CrLf(std::string(row.kept) + rest));
    std::vector<std::string> fed;
    for (int i = 0; i < expected.Count(); ++i) fed.push_back(expected[i] + "\n");
    EXPECT_EQ(recording.Texts(), fed);
    // The stand-in's body sum reached the side record; the envelope sender
    // got its random sum.
    TDigest16 body;
    GetDccSum(DCC_CK_BODY, record, body);
    EXPECT_EQ(msg->GetInfoValue(TEmailInfoKey::DccBody), DigestToHex(body));
    EXPECT_NE(IndexOfDccSum(DCC_CK_ENV_FROM, record), 0);
  }
}

TEST_F(ChecksumAssemblyTest, WithABackupTheLibraryIsFedTheBackup) {
  test::ScopedDccFolder folder(HALVORN_DCC_RECORDING_FOLDER);
  test::Recording recording;
  ASSERT_TRUE(recording.Loaded());
  const std::string backup = GetBackupsDir(kSingleUserName) + "/original(AbCdE).eml";
  ASSERT_TRUE(test::WriteFileBytes(backup, CrLf("Subject: original\n\nas received\n")));
  TEmailMsgRef msg = MessageFromBytes(CrLf("Subject: processed\n\nchanged\n"));
  msg->SetInfoValue(TEmailInfoKey::BackupFile, "original(AbCdE).eml");
  TDccChecksums record;
  ASSERT_TRUE(msg->GetDccChecksums(record));
  EXPECT_EQ(recording.Texts(), (std::vector<std::string>{"Subject: original\n", "\n", "as received\n"}));
}

// The sums of the real library, cached in the side record; a second message
// object on that record reads them back with the library out of reach.
TEST_F(ChecksumAssemblyTest, TheSideRecordCachesTheSums) {
  const std::string own = "Received: from pop.example.com by LocalHost with POP3 Quorvantis Halvornv1.0.0.0 id a;\n"
                          "\tTue, 3 Dec 2002 10:16:00 +0100\n";
  const std::string rest =
      "Subject: sums\n\nEight distinct words make both fuzzy sums appear here, friends.\n<b>tagged</b> text\n";
  const std::string path = FRoot.Sub("saved.eml");
  TDccChecksums first;
  {
    test::ScopedDccFolder folder(HALVORN_DCC_LIBRARY_FOLDER);
    TEmailMsgRef msg = TEmailMsg::Create();
    msg->LoadFromStream(CrLf(own + rest));
    ASSERT_TRUE(msg->GetDccChecksums(first));
    TStringList lines;
    lines.SetText(CrLf(rest));
    TDccChecksums expected;
    ASSERT_TRUE(ComputeDccChecksums(lines, expected));
    for (int type : {DCC_CK_BODY, DCC_CK_FUZ1, DCC_CK_FUZ2}) {
      SCOPED_TRACE(type);
      TDigest16 ours, theirs;
      GetDccSum(type, first, ours);
      GetDccSum(type, expected, theirs);
      EXPECT_FALSE(IsDigest16Empty(ours));
      EXPECT_TRUE(SameDigest16(ours, theirs));
    }
    // No Message-Id: no sum of that type.
    EXPECT_EQ(IndexOfDccSum(DCC_CK_MESSAGE_ID, first), 0);
    TDigest16 sum;
    EXPECT_TRUE(msg->GetDccFuz2Sum(sum));
    ASSERT_TRUE(msg->SaveToNamedFile(path));
  }
  test::ScopedDccFolder missing(FRoot.Sub("no-library-here"));
  ASSERT_FALSE(LoadDccLibrary());
  TEmailMsgRef again = TEmailMsg::Create();
  ASSERT_TRUE(again->ReadFromFile(path));
  TDccChecksums second;
  ASSERT_TRUE(again->GetDccChecksums(second));
  for (int type : {DCC_CK_BODY, DCC_CK_FUZ1, DCC_CK_FUZ2}) {
    TDigest16 a, b;
    GetDccSum(type, first, a);
    GetDccSum(type, second, b);
    EXPECT_TRUE(SameDigest16(a, b)) << type;
  }
  TDigest16 body;
  EXPECT_TRUE(again->GetDccBodySum(body));
  again->FSetFlaggedDeleted(true);
  // Without the cache and without the library the answer is false.
  TEmailMsgRef fresh = MessageFromBytes(CrLf(rest));
  TDccChecksums none;
  EXPECT_FALSE(fresh->GetDccChecksums(none));
  EXPECT_TRUE(IsDccRecordEmpty(none));
  EXPECT_FALSE(fresh->GetDccBodySum(body));
}

}  // namespace
}  // namespace halvorn
