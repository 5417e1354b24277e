#include "message/partial_messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "foundation/files/install_folders.h"
#include "message/mime_decoders.h"
#include "repository_test_support.h"

namespace halvorn {
namespace {

using test::ReadFileBytes;
using Lines = std::vector<std::string>;

class PartialMessages : public test::MessageFolderTest {
 protected:
  PartialMessages() : Folder(FRoot.Sub("partials")) {}

  // Stores the piece message of the text; answers the store's answer.
  bool Store(const std::string& text) {
    TEmailMsgRef msg = TEmailMsg::Create();
    msg->SetText(text);
    const bool stored = StorePartialMessage(Folder, *msg);
    msg->FSetFlaggedDeleted(true);  // the object is only a carrier here
    return stored;
  }

  static std::string Piece(const std::string& id, int number, int total, const std::string& body,
                           const std::string& extraHeader = {}) {
    return "Subject: piece\r\nContent-Type: message/partial; number=" + std::to_string(number) +
           "; total=" + std::to_string(total) + "; id=\"" + id + "\"\r\n" + extraHeader + "\r\n" +
           body;
  }

  // What Python's email package finds in the joined lines: each attachment
  // decoded, as hexadecimal text, one line each.
  static Lines Attachments(const TStringList& lines) {
    const test::CommandResult py = test::RunPython(
        "import sys, email\n"
        "msg = email.message_from_bytes(sys.stdin.buffer.read())\n"
        "for part in msg.walk():\n"
        "    if part.get_filename():\n"
        "        print(part.get_filename(), part.get_payload(decode=True).hex())\n",
        lines.Text());
    EXPECT_EQ(py.ExitCode, 0) << py.Output;
    return test::OutputLines(py.Output);
  }

  const std::string Folder;
};

TEST_F(PartialMessages, FileNames) {
  const struct {
    const char* id;
    std::int64_t number, total;
    const char* name;
  } rows[] = {
      {"abc/1", 2, 3, "abc=471(0002)of(0003).eml"},
      {"<a@b.c>\\x", 1, 1, "=60a@b.c=62=92x(0001)of(0001).eml"},
      {"q\"*:?|x y", 12, 9999, "q=34=42=58=63=124x y(0012)of(9999).eml"},
      {"tab\tand\xe9", 123456, 7, "tab=9and=233(3456)of(0007).eml"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    EXPECT_EQ(PartialMessageFileName(row.id, row.number, row.total), row.name);
  }
}

TEST_F(PartialMessages, OnlyWholePiecesAreStored) {
  const struct {
    const char* contentType;
    bool stored;
  } rows[] = {
      {"message/partial; number=1; total=3; id=\"x\"", true},
      {"message/partial; number=3; total=3; id=x", true},
      {"message/partial; total=3; id=\"x\"", false},
      {"message/partial; number=one; total=3; id=\"x\"", false},
      {"message/partial; number=1; total=; id=\"x\"", false},
      {"message/partial; number=1; total=3", false},
      {"message/partial; number=0; total=3; id=\"x\"", false},
      {"message/partial; number=4; total=3; id=\"x\"", false},
      {"message/partial; number=1; total=10000; id=\"x\"", false},
      {"message/partial; number=-1; total=3; id=\"x\"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.contentType);
    const bool stored =
        Store(std::string("Subject: s\r\nContent-Type: ") + row.contentType + "\r\n\r\nbody\r\n");
    EXPECT_EQ(stored, row.stored);
  }
  EXPECT_EQ(test::EmlFiles(Folder),
            (Lines{"x(0001)of(0003).eml", "x(0003)of(0003).eml"}));
  TStringList lines;
  EXPECT_FALSE(ReassemblePartialMessage(Folder, "x", lines));
  EXPECT_FALSE(ReassemblePartialMessage(FRoot.Sub("none"), "x", lines));
  EXPECT_TRUE(lines.Empty());
}

// mpack's pieces, stored in shuffled order, join into the message it split.
TEST_F(PartialMessages, MpackPiecesJoinIntoTheSplitMessage) {
  const std::string work = FRoot.Sub("mpack");
  std::filesystem::create_directories(work);
  std::mt19937 random(11);
  std::string data(30000, '\0');
  for (char& c : data) c = static_cast<char>(random());
  ASSERT_TRUE(test::WriteFileBytes(work + "/data.bin", data));
  const test::CommandResult split = test::RunCommand(
      {"mpack", "-s", "Split test", "-m", "3000", "-o", work + "/out", work + "/data.bin"});
  if (split.ExitCode == -1) GTEST_SKIP() << "mpack is not installed (scripts/setup.sh test)";
  ASSERT_EQ(split.ExitCode, 0) << split.Output;
  std::vector<std::string> pieces;
  for (const std::string& name : Entries(work)) {
    if (name.rfind("out.", 0) == 0) pieces.push_back(ReadFileBytes(work + "/" + name));
  }
  ASSERT_GT(pieces.size(), 3u);
  std::string id;
  {
    TEmailMsgRef first = TEmailMsg::Create();
    first->SetText(pieces[0]);
    ASSERT_TRUE(first->GetHeader()->GetDecodedParam("Content-Type", "id", id));
    first->FSetFlaggedDeleted(true);
  }
  // Pieces of another set whose id begins with the same characters.
  ASSERT_TRUE(Store(Piece(id + "x", 1, 1, "other\r\n")));

  std::shuffle(pieces.begin(), pieces.end(), random);
  TStringList lines;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_FALSE(ReassemblePartialMessage(Folder, id, lines)) << i << " pieces stored";
    ASSERT_TRUE(Store(pieces[i]));
  }
  ASSERT_TRUE(ReassemblePartialMessage(Folder, id, lines));
  EXPECT_EQ(Attachments(lines), Lines{"data.bin " + test::HexOf(data)});

  EXPECT_TRUE(DeletePartialMessage(Folder, id));
  EXPECT_EQ(test::EmlFiles(Folder), Lines{PartialMessageFileName(id + "x", 1, 1)});
  EXPECT_FALSE(ReassemblePartialMessage(Folder, id, lines));
}

// A hand-split set: the first piece is the enclosed header with the empty
// line that ends it, the second the body, sent base64-encoded once more.
TEST_F(PartialMessages, AHandSplitSetKeepsEveryLineAndIsDecoded) {
  const std::string data = "attached bytes \x01\x02\xff and more";
  TStringList inner64, outer64;
  DecoderClass<TBase64Decoder>()->Encode(data, inner64);
  DecoderClass<TBase64Decoder>()->Encode(inner64.Text(), outer64);
  const std::string header =
      "Subject: inner\r\nMIME-Version: 1.0\r\nContent-Type: application/octet-stream; "
      "name=\"a.bin\"\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n";
  ASSERT_TRUE(
      Store(Piece("<hand@split>", 2, 2, outer64.Text(), "Content-Transfer-Encoding: base64\r\n")));
  ASSERT_TRUE(Store(Piece("<hand@split>", 1, 2, header)));
  TStringList lines;
  ASSERT_TRUE(ReassemblePartialMessage(Folder, "<hand@split>", lines));
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(Attachments(lines), Lines{"a.bin " + test::HexOf(data)});
}

// The pieces of an id are exactly those of its name pattern, with case.
TEST_F(PartialMessages, IdsThatBeginAlikeOrDifferInCaseKeepApart) {
  for (const std::string id : {"a", "a(x", "A", "a<b>"}) {
    for (int n = 1; n <= 2; ++n)
      ASSERT_TRUE(Store(Piece(id, n, 2, id + " piece " + std::to_string(n) + "\r\n")));
  }
  for (const std::string id : {"a", "a(x", "A", "a<b>"}) {
    SCOPED_TRACE(id);
    TStringList lines;
    ASSERT_TRUE(ReassemblePartialMessage(Folder, id, lines));
    EXPECT_EQ(lines.ToVector(), (Lines{id + " piece 1", id + " piece 2"}));
  }
  EXPECT_TRUE(DeletePartialMessage(Folder, "a"));
  EXPECT_TRUE(DeletePartialMessage(Folder, "a<b>"));
  EXPECT_EQ(test::EmlFiles(Folder),
            (Lines{"A(0001)of(0002).eml", "A(0002)of(0002).eml", "a(x(0001)of(0002).eml",
                   "a(x(0002)of(0002).eml"}));
  EXPECT_FALSE(DeletePartialMessage(FRoot.Sub("none"), "a"));
}

// The forms without a folder use the user's "Partials" folder and the
// total of the set.
TEST_F(PartialMessages, TheUsersFolderForms) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->SetText(Piece("u", 1, 1, "only\r\n"));
  ASSERT_TRUE(StorePartialMessage(*msg));
  msg->FSetFlaggedDeleted(true);
  EXPECT_TRUE(std::filesystem::exists(GetPartialsDir(kSingleUserName) + "/u(0001)of(0001).eml"));
  TStringList lines;
  EXPECT_FALSE(ReassemblePartialMessage("u", 2, lines));
  EXPECT_FALSE(ReassemblePartialMessage("u", 0, lines));
  ASSERT_TRUE(ReassemblePartialMessage("u", 1, lines));
  EXPECT_EQ(lines.ToVector(), Lines{"only"});
  EXPECT_TRUE(DeletePartialMessage("u", 1));
  EXPECT_TRUE(test::EmlFiles(GetPartialsDir(kSingleUserName)).empty());

  // A set whose pieces hold no line joins into nothing: no empty message.
  msg = TEmailMsg::Create();
  msg->SetText(Piece("empty", 1, 1, ""));
  ASSERT_TRUE(StorePartialMessage(*msg));
  msg->FSetFlaggedDeleted(true);
  EXPECT_FALSE(ReassemblePartialMessage("empty", 1, lines));
}

}  // namespace
}  // namespace halvorn
