#include "message/email_msg.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "email_msg_fakes.h"
#include "foundation/files/atomic_file.h"
#include "foundation/threads/quor_thread.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "message/account_guard.h"
#include "message/accounts.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::FakeQueue;
using test::FakeRepository;
using test::Lines;
using test::ListOf;
using test::MessageFolderTest;
using test::ReadFileBytes;
using test::WriteFileBytes;

// The bytes of the message file without its property line.
std::string MessageBytes(const std::string& file) {
  const std::size_t end = file.find("\r\n");
  if (file.rfind(kPropertyLinePrefix, 0) != 0 || end == std::string::npos) return file;
  return file.substr(end + 2);
}

std::string PropertyLine(const std::string& file) {
  return file.substr(0, file.find("\r\n"));
}

class EmailMsgFile : public MessageFolderTest {
 protected:
  // A message read from a file written with the bytes.
  TEmailMsgRef Read(const std::string& bytes, const std::string& name = "m.eml") {
    const std::string path = FRoot.Sub(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    TEmailMsgRef msg = TEmailMsg::Create();
    EXPECT_TRUE(msg->ReadFromFile(path));
    return msg;
  }
};

// ---------------------------------------------------------------------------
// The message file

TEST_F(EmailMsgFile, PropertyLineAndLines) {
  struct Row {
    const char* what;
    std::string file;
    Lines properties;
    Lines lines;
  } rows[] = {
      {"three properties, the third quoted",
       "X-SMTP: MailFrom=a@b.c,RcptTo=d@e.f,\"Note=two words\"\r\nSubject: s\r\n\r\nbody\r\n",
       {"MailFrom=a@b.c", "RcptTo=d@e.f", "Note=two words"},
       {"Subject: s", "", "body"}},
      {"no property line", "Subject: s\r\n\r\nbody\r\n", {}, {"Subject: s", "", "body"}},
      {"the marker elsewhere in the first line is a message line",
       "Subject: X-SMTP: Evil=1\r\n\r\nbody", {}, {"Subject: X-SMTP: Evil=1", "", "body"}},
      {"the marker without its blank is no property line", "X-SMTP:Evil=1\r\n\r\nb\r\n", {},
       {"X-SMTP:Evil=1", "", "b"}},
      {"a NUL byte is an ordinary character",
       std::string("Subject: s\r\n\r\nbefore\0after\r\nlast\r\n", 33), {},
       {"Subject: s", "", std::string("before\0after", 12), "last"}},
      {"bare LF and CR line ends", "Subject: s\n\nline\rlast", {}, {"Subject: s", "", "line", "last"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = Read(row.file);
    TStringList properties = msg->GetProperties();
    EXPECT_EQ(properties.ToVector(), row.properties);
    TStringList lines;
    msg->GetRawText(lines, true);
    EXPECT_EQ(lines.ToVector(), row.lines);

    // Saving writes the property line (with ContentId first time), then every
    // line with CR LF, NUL bytes and all.
    ASSERT_TRUE(msg->SaveToNamedFile(FRoot.Sub("copy.eml")));
    const std::string saved = ReadFileBytes(FRoot.Sub("copy.eml"));
    EXPECT_EQ(MessageBytes(saved), ListOf(row.lines).Text());
    TStringList savedProperties;
    savedProperties.SetCommaText(PropertyLine(saved).substr(8));
    EXPECT_EQ(savedProperties.Values(kPropContentId), std::to_string(msg->GetContentId()));
    EXPECT_EQ(savedProperties.Count(), static_cast<int>(row.properties.size()) + 1);
    msg->FSetFlaggedDeleted(true);
  }
}

// A multipart message without a boundary parameter: the delimiter is guessed
// from its last line, else from its first lines; it must begin with "--" and
// be three characters or longer, and is written back without its "--".
TEST_F(EmailMsgFile, GuessedBoundaries) {
  struct Row {
    const char* what;
    std::string body;
    std::string boundary;  // the header's parameter afterwards ("" none)
    int parts;
  } rows[] = {
      {"the last line closes", "pre\r\n--xyz\r\n\r\none\r\n--xyz\r\n\r\ntwo\r\n--xyz--\r\n", "xyz", 3},
      {"a signature as last line", "--abc\r\n\r\none\r\n-- \r\n", "abc", 2},
      {"a last line of two dashes", "x\r\n--k\r\n\r\nb\r\n----\r\n", "k", 2},
      {"nothing usable", "a\r\nb\r\n-\r\n", "", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = Read("Content-Type: multipart/mixed\r\n\r\n" + row.body);
    {
      TCriticalSectionGuard guard(msg->MessageLock());
      std::string boundary;
      msg->GetHeader()->GetRawParam("Content-Type", "boundary", boundary, true);
      EXPECT_EQ(boundary, row.boundary);
      EXPECT_EQ(msg->GetParts().Count(), row.parts);
    }
    EXPECT_EQ(msg->IsChanged(), !row.boundary.empty());
    // Saved and read again twice, the bytes stay.
    ASSERT_TRUE(msg->SaveToNamedFile(FRoot.Sub("a.eml")));
    TEmailMsgRef again = TEmailMsg::Create();
    ASSERT_TRUE(again->ReadFromFile(FRoot.Sub("a.eml")));
    again->GetParts();
    ASSERT_TRUE(again->SaveToNamedFile(FRoot.Sub("b.eml")));
    EXPECT_EQ(MessageBytes(ReadFileBytes(FRoot.Sub("a.eml"))),
              MessageBytes(ReadFileBytes(FRoot.Sub("b.eml"))));
    msg->FSetFlaggedDeleted(true);
    again->FSetFlaggedDeleted(true);
  }
}

// Reading and parsing alone is no change; a change of a header value is,
// and it needs no lock.
TEST_F(EmailMsgFile, ParsingIsNoChange) {
  TEmailMsgRef msg = Read("Subject: s\r\nX-A: 1\r\n\r\nbody\r\n");
  EXPECT_FALSE(msg->IsChanged());
  msg->GetParts();
  EXPECT_FALSE(msg->IsChanged());
  msg->GetHeader()->SetValue("X-A", "2");
  EXPECT_TRUE(msg->IsChanged());
}

// A file that cannot be read is tried again later, and never replaced by an
// empty message.
TEST_F(EmailMsgFile, UnreadableFileStaysUnloaded) {
  const std::string path = FRoot.Sub("gone.eml");
  {
    TEmailMsgRef msg = TEmailMsg::Create();
    msg->SetFileName(path);
    EXPECT_FALSE(msg->IsLoaded());
    msg->GetHeader();
    EXPECT_FALSE(msg->IsLoaded());
    EXPECT_EQ(msg->GetSize(), -1);
    ASSERT_TRUE(WriteFileBytes(path, "Subject: late\r\n\r\nx\r\n"));
    EXPECT_EQ(msg->GetSubject(), "late");
  }
  EXPECT_EQ(ReadFileBytes(path), "Subject: late\r\n\r\nx\r\n");
  {
    TEmailMsgRef msg = TEmailMsg::Create();
    msg->SetFileName(FRoot.Sub("never.eml"));
    msg->GetParts();
  }
  EXPECT_FALSE(std::filesystem::exists(FRoot.Sub("never.eml")));
}

// ---------------------------------------------------------------------------
// Sizes

// Once the program has written a message, its size is the same whether it is
// parsed, loaded or only a file, and equals the bytes of its lines with CR
// LF.
TEST_F(EmailMsgFile, OneSizeInEveryState) {
  const std::string texts[] = {
      "Subject: plain\r\n\r\nline one\r\nline two\r\n",
      "Subject: folded\r\n value\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\n"
      "x\r\n--b--\r\n",
      "Subject: lf\n\nbody",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    TEmailMsgRef first = Read(text, "first.eml");
    first->GetParts();
    ASSERT_TRUE(first->SaveToNamedFile(FRoot.Sub("saved.eml")));
    first->FSetFlaggedDeleted(true);
    const std::string file = ReadFileBytes(FRoot.Sub("saved.eml"));
    const std::int32_t expected = static_cast<std::int32_t>(MessageBytes(file).size());

    TEmailMsgRef onlyFile = TEmailMsg::Create();
    onlyFile->SetFileName(FRoot.Sub("saved.eml"));
    EXPECT_EQ(onlyFile->GetSize(), expected);
    EXPECT_FALSE(onlyFile->IsLoaded());
    onlyFile->GetProperties();
    EXPECT_TRUE(onlyFile->IsLoaded());
    EXPECT_EQ(onlyFile->GetSize(), expected);  // loaded now
    onlyFile->GetParts();
    EXPECT_EQ(onlyFile->GetSize(), expected);  // parsed
    TStringList lines;
    onlyFile->GetRawText(lines, true);
    EXPECT_EQ(static_cast<std::int32_t>(lines.Text().size()), expected);
    onlyFile->FSetFlaggedDeleted(true);
  }
}

TEST_F(EmailMsgFile, TopLines) {
  struct Row {
    std::string body;
    int count;
    bool answer;
    Lines lines;
  } rows[] = {
      {"one\r\n", 0, true, {"Subject: s"}},
      {"one\r\n", 3, false, {"Subject: s", "", "one"}},
      {"one\r\ntwo\r\nthree\r\n", 1, true, {"Subject: s", "", "one"}},
      {"one\r\ntwo\r\nthree\r\n", 5, true, {"Subject: s", "", "one", "two", "three"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.count);
    TEmailMsgRef msg = Read("Subject: s\r\n\r\n" + row.body);
    TStringList lines;
    EXPECT_EQ(msg->GetTopLines(row.count, lines), row.answer);
    EXPECT_EQ(lines.ToVector(), row.lines);
    msg->FSetFlaggedDeleted(true);
  }
}

// ---------------------------------------------------------------------------
// Saving and destroying

class EmailMsgSave : public MessageFolderTest {
 protected:
  EmailMsgSave() : Queue(FRoot.Sub("queue")) {}
  FakeQueue Queue;
};

TEST_F(EmailMsgSave, FirstSavesTakeFreeNames) {
  // Without a queue: a free "Temp" name in the temporary folder.
  TEmailMsgRef loose = TEmailMsg::Create();
  loose->SetText("Subject: loose\r\n\r\nx\r\n");
  ASSERT_TRUE(loose->SaveToFile());
  EXPECT_EQ(std::filesystem::path(loose->GetFileName()).parent_path(), FRoot.Sub("tmp"));
  EXPECT_EQ(loose->GetFileName().find("/Temp("), FRoot.Sub("tmp").size());
  EXPECT_FALSE(loose->IsChanged());

  // In a queue: the queue's name; a name taken between its drawing and the
  // rename is drawn again, and both files stay.
  TEmailMsgRef queued = TEmailMsg::Create(&Queue);
  queued->SetText("Subject: hello\r\n\r\nours\r\n");
  std::string taken;
  SetBeforeNoReplaceRenameForTests([&](const std::string& target) {
    if (taken.empty()) {
      taken = target;
      WriteFileBytes(target, "another writer's file");
    }
  });
  const bool saved = queued->SaveToFile();
  SetBeforeNoReplaceRenameForTests(nullptr);
  ASSERT_TRUE(saved);
  EXPECT_NE(queued->GetFileName(), taken);
  EXPECT_EQ(ReadFileBytes(taken), "another writer's file");
  EXPECT_EQ(MessageBytes(ReadFileBytes(queued->GetFileName())), "Subject: hello\r\n\r\nours\r\n");
  EXPECT_EQ(Entries(Queue.Folder).size(), 2u);
}

TEST_F(EmailMsgSave, AFailedSaveKeepsTheOldFileAndTheChange) {
  TEmailMsgRef msg = TEmailMsg::Create(&Queue);
  msg->SetText("Subject: s\r\n\r\nold\r\n");
  ASSERT_TRUE(msg->SaveToFile());
  const std::string path = msg->GetFileName();
  const std::string before = ReadFileBytes(path);
  msg->SetText("Subject: s\r\n\r\nnew\r\n");
  for (AtomicWriteStep step : {AtomicWriteStep::Write, AtomicWriteStep::Rename}) {
    FailNextAtomicWriteForTests(step, ENOSPC);
    EXPECT_FALSE(msg->SaveToFile());
    EXPECT_TRUE(msg->IsChanged());
    EXPECT_EQ(ReadFileBytes(path), before);
    EXPECT_EQ(Entries(Queue.Folder).size(), 1u);
  }
  EXPECT_TRUE(msg->SaveToFile());
  EXPECT_EQ(MessageBytes(ReadFileBytes(path)), "Subject: s\r\n\r\nnew\r\n");
}

// What becomes of the file when the last holder lets the message go.
TEST_F(EmailMsgSave, DestroyRules) {
  struct Row {
    const char* what;
    bool saveChanges, failureNotice, change, flagDeleted, removeFile;
    std::string expected;  // the file's message bytes afterwards; "-" none
  } rows[] = {
      {"unchanged", true, false, false, false, false, "Subject: s\r\n\r\nold\r\n"},
      {"changed is saved", true, false, true, false, false, "Subject: s\r\n\r\nnew\r\n"},
      {"flagged deleted and changed loses its file", true, false, true, true, false, "-"},
      {"temporary with a failure notice loses its file", false, true, false, false, false, "-"},
      {"temporary, changed, saves nothing", false, false, true, false, false,
       "Subject: s\r\n\r\nold\r\n"},
      {"a loaded message whose file went is saved", true, false, false, false, true,
       "Subject: s\r\n\r\nold\r\n"},
      {"also when temporary", false, false, false, false, true, "Subject: s\r\n\r\nold\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string path;
    {
      TEmailMsgRef msg = TEmailMsg::Create(&Queue);
      msg->SetText("Subject: s\r\n\r\nold\r\n");
      if (row.failureNotice) msg->SetProperty(kPropFailureNotice, "SMTP");
      ASSERT_TRUE(msg->SaveToFile());
      path = msg->GetFileName();
      Queue.Remove(msg.get());
      msg->SetSaveChanges(row.saveChanges);
      msg->GetParts();
      if (row.change) msg->SetText("Subject: s\r\n\r\nnew\r\n");
      if (row.flagDeleted) msg->FSetFlaggedDeleted(true);
      if (row.removeFile) std::filesystem::remove(path);
    }
    if (row.expected == "-")
      EXPECT_FALSE(std::filesystem::exists(path));
    else
      EXPECT_EQ(MessageBytes(ReadFileBytes(path)), row.expected);
    EXPECT_TRUE(Entries(Queue.Folder).size() <= 1u);
    std::filesystem::remove(path);
  }
}

// A second holder of an obliterated message cannot bring its file back.
TEST_F(EmailMsgSave, AnObliteratedMessageNeverWritesItsFile) {
  TEmailMsgRef msg = TEmailMsg::Create(&Queue);
  msg->SetText("Subject: s\r\n\r\nbody\r\n");
  ASSERT_TRUE(msg->SaveToFile());
  TEmailMsgRef secondHolder = msg;
  ASSERT_TRUE(msg->Obliterate(true, "test"));
  msg.reset();
  secondHolder->SetText("Subject: s\r\n\r\nchanged\r\n");
  EXPECT_FALSE(secondHolder->SaveToFile());
  secondHolder.reset();
  EXPECT_TRUE(Entries(Queue.Folder).empty());
}

// A file that another writer put under a name the message took but never
// read or wrote is not the message's: neither DiskDelete nor the destroy
// rules of a message flagged deleted remove it. The message's own file goes.
TEST_F(EmailMsgSave, AnotherWritersFileUnderTheNameStays) {
  const std::string path = FRoot.Sub("taken.eml");
  {
    TEmailMsgRef msg = TEmailMsg::Create();
    msg->SetFileName(path);
    ASSERT_TRUE(WriteFileBytes(path, "another writer's message"));
    EXPECT_FALSE(msg->DiskDelete());
    msg->FSetFlaggedDeleted(true);
  }
  EXPECT_EQ(ReadFileBytes(path), "another writer's message");
  {
    TEmailMsgRef msg = TEmailMsg::Create();
    ASSERT_TRUE(msg->ReadFromFile(path));
    msg->FSetFlaggedDeleted(true);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  {
    TEmailMsgRef msg = TEmailMsg::Create();
    msg->SetFileName(path);
    ASSERT_TRUE(WriteFileBytes(path, "mine now"));
    ASSERT_TRUE(msg->ReadFromFile(path));
    EXPECT_TRUE(msg->DiskDelete());
    EXPECT_FALSE(msg->DiskDelete());
    msg->FSetFlaggedDeleted(true);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(EmailMsgSave, MovesNeverReplace) {
  TEmailMsgRef msg = TEmailMsg::Create(&Queue);
  msg->SetText("Subject: s\r\n\r\nmine\r\n");
  ASSERT_TRUE(msg->SaveToFile());
  const std::string other = Queue.Folder + "/other.eml";
  ASSERT_TRUE(WriteFileBytes(other, "not mine"));
  int draws = 0;
  EXPECT_TRUE(msg->MoveFileTo([&] { return ++draws == 1 ? other : Queue.Folder + "/free.eml"; }));
  EXPECT_EQ(msg->GetFileName(), Queue.Folder + "/free.eml");
  EXPECT_EQ(ReadFileBytes(other), "not mine");
  EXPECT_EQ(Entries(Queue.Folder), (Lines{"free.eml", "other.eml"}));
}

TEST_F(EmailMsgSave, CopiesLeaveTheMessageChanged) {
  TEmailMsgRef msg = TEmailMsg::Create(&Queue);
  msg->SetText("Subject: Copy me\r\n\r\nx\r\n");
  std::string path;
  msg->SaveCopyAs(FRoot.Sub("copies"), path);
  EXPECT_FALSE(path.empty());
  EXPECT_NE(path.find("Copy_me"), std::string::npos);
  EXPECT_TRUE(msg->IsChanged());
  std::string second;
  msg->SaveCopyAs(FRoot.Sub("copies"), second);
  EXPECT_NE(second, path);
  EXPECT_EQ(Entries(FRoot.Sub("copies")).size(), 2u);
}

// Dropping changes gives back the message its file holds, with the work of
// an analysis in memory gone; the side record stays. Freeing the text of a
// saved message keeps what readers of properties, the UIDL and the send
// time need, so they read no file; the content comes back on its next use.
TEST_F(EmailMsgSave, DroppingChangesAndFreeingTheText) {
  const TDateTime sent = EncodeDateTime(2024, 3, 15, 10, 0, 0);
  const std::string sentText = DateTimeToFileDateText(sent);
  TEmailMsgRef msg = TEmailMsg::Create(&Queue);
  msg->SetText("Subject: as it came\r\n\r\nbody\r\n");
  msg->SetProperty("SendTime", sentText);
  msg->SetInfoValue(TEmailInfoKey::UIDL, "uidl-1");
  ASSERT_TRUE(msg->SaveToFile());
  const std::string path = msg->GetFileName();
  const std::string saved = ReadFileBytes(path);

  {
    TCriticalSectionGuard guard(msg->MessageLock());
    msg->GetHeader()->SetValue("Subject", "[tag] as it came");
    msg->RuleInfo().AddLine("a rule table", 1, kHtmlKindAll, false);
    msg->GeneralInfo().AddLine("a note", 1, kHtmlKindAll, false);
  }
  msg->SetProperty("Started ProcessingInc", "2");
  msg->InfoRemoved.store(true);
  msg->SetInfoValue(TEmailInfoKey::MailListId, "kept");
  ASSERT_TRUE(msg->IsChanged());
  ASSERT_TRUE(msg->DropChanges());
  EXPECT_FALSE(msg->IsChanged());
  EXPECT_EQ(msg->GetSubject(), "as it came");
  EXPECT_EQ(msg->GetProperty("Started ProcessingInc"), "");
  EXPECT_EQ(msg->GetProperty("SendTime"), sentText);
  EXPECT_EQ(msg->RuleInfo().Count(), 0);
  EXPECT_EQ(msg->GeneralInfo().Count(), 0);
  EXPECT_FALSE(msg->InfoRemoved.load());
  EXPECT_EQ(msg->GetInfoValue(TEmailInfoKey::MailListId), "kept");
  EXPECT_EQ(ReadFileBytes(path), saved);

  // A changed message keeps its text; a saved one frees it.
  msg->SetProperty("X", "1");
  EXPECT_FALSE(msg->ReleaseText());
  EXPECT_TRUE(msg->IsLoaded());
  ASSERT_TRUE(msg->DropChanges());
  ASSERT_TRUE(msg->ReleaseText());
  EXPECT_FALSE(msg->IsLoaded());
  EXPECT_FALSE(msg->ReleaseText());  // nothing left to free
  // Readers of the head need no file: with the file gone they still answer.
  const std::string moved = path + ".aside";
  std::filesystem::rename(path, moved);
  EXPECT_EQ(msg->GetProperty("SendTime"), sentText);
  EXPECT_EQ(msg->GetUidl(), "uidl-1");
  TDateTime sendTime = 0;
  EXPECT_TRUE(msg->TryGetSendTime(sendTime));
  EXPECT_NEAR(sendTime, sent, 1.0 / 86400);
  EXPECT_FALSE(msg->IsLoaded());
  // The content comes back from the file on its next use.
  std::filesystem::rename(moved, path);
  EXPECT_EQ(msg->GetSubject(), "as it came");
  EXPECT_TRUE(msg->IsLoaded());
  EXPECT_FALSE(msg->IsChanged());
  EXPECT_EQ(ReadFileBytes(path), saved);

  // Without a file there is nothing to go back to.
  TEmailMsgRef loose = TEmailMsg::Create();
  loose->SetText("Subject: loose\r\n\r\nx\r\n");
  EXPECT_FALSE(loose->DropChanges());
  EXPECT_FALSE(loose->ReleaseText());
  EXPECT_TRUE(loose->IsChanged());
  loose->FSetFlaggedDeleted(true);
}

// ---------------------------------------------------------------------------
// The side record

TEST_F(EmailMsgFile, ContentIdSharesTheRecordAndNewContentMovesToANewOne) {
  TEmailMsgRef first = Read("Subject: a\r\n\r\nx\r\n", "a.eml");
  first->SetInfoValue(TEmailInfoKey::MailBox, "box");
  ASSERT_TRUE(first->SaveToNamedFile(FRoot.Sub("same.eml")));
  const std::int32_t id = first->GetContentId();

  // A second object of the same file shares the live record.
  TEmailMsgRef second = TEmailMsg::Create();
  ASSERT_TRUE(second->ReadFromFile(FRoot.Sub("same.eml")));
  EXPECT_EQ(second->GetContentId(), id);
  second->SetInfoValue(TEmailInfoKey::SourceIP, "192.0.2.1");
  EXPECT_EQ(first->GetInfoValue(TEmailInfoKey::SourceIP), "192.0.2.1");

  // New content moves the message to a new record that starts as a copy; the
  // other holder keeps the old Id and its values.
  second->SetText("Subject: b\r\n\r\ny\r\n");
  EXPECT_NE(second->GetContentId(), id);
  EXPECT_EQ(second->GetInfoValue(TEmailInfoKey::MailBox), "box");
  EXPECT_EQ(first->GetContentId(), id);
  second->SetInfoValue(TEmailInfoKey::MailBox, "other");
  EXPECT_EQ(first->GetInfoValue(TEmailInfoKey::MailBox), "box");
  first->FSetFlaggedDeleted(true);
  second->FSetFlaggedDeleted(true);
}

// ---------------------------------------------------------------------------
// Properties and side-record values

TEST_F(EmailMsgFile, SendTimeAndFlags) {
  const TDateTime now = EncodeDateTime(2004, 3, 1, 17, 5, 10);
  ScopedClockForTests clock(now);
  TEmailMsgRef msg = Read("Subject: s\r\n\r\nx\r\n");
  TDateTime time = 0;
  EXPECT_FALSE(msg->TryGetSendTime(time));
  EXPECT_DOUBLE_EQ(msg->GetSendTime(), now - 10.0 / 1440);

  msg->FSetSendTime(now + 1);
  msg->FSetSendAnon(true);
  msg->SetQuorCategory(8);
  EXPECT_TRUE(msg->IsChanged());
  ASSERT_TRUE(msg->SaveToNamedFile(FRoot.Sub("t.eml")));
  TEmailMsgRef again = TEmailMsg::Create();
  ASSERT_TRUE(again->ReadFromFile(FRoot.Sub("t.eml")));
  EXPECT_EQ(again->GetSendTime(), msg->GetSendTime());
  EXPECT_NEAR(again->GetSendTime(), now + 1, 2.0 / 86400);
  EXPECT_TRUE(again->GetSendAnon());
  EXPECT_EQ(again->GetQuorCategory(), 8);
  again->SetProperty(kPropQuorCategory, "x9");
  EXPECT_EQ(again->GetQuorCategory(), 0);
  msg->FSetFlaggedDeleted(true);
  again->FSetFlaggedDeleted(true);
}

TEST_F(EmailMsgFile, VerdictScoreSubjectAndRecipient) {
  TEmailMsgRef msg = Read(
      "Subject: =?iso-8859-1?Q?Gr=FC=DFe?=\r\nTo: Someone <a@example.com>, SingleUser "
      "<me@example.com>\r\n\r\nx\r\n");
  EXPECT_EQ(msg->GetUserWanted(), kTriteUnknown);
  EXPECT_TRUE(msg->SetUserWanted(kTriteYes, false));
  EXPECT_FALSE(msg->SetUserWanted(kTriteNo, false));
  EXPECT_EQ(msg->GetUserWanted(), kTriteYes);
  EXPECT_TRUE(msg->SetUserWanted(kTriteNo, true));
  EXPECT_EQ(msg->GetUserWanted(), kTriteNo);

  EXPECT_FALSE(msg->AddScore("zero", 0));
  EXPECT_TRUE(msg->AddScore("a", 70));
  EXPECT_FALSE(msg->AddScore("a", 5));
  EXPECT_EQ(msg->GetScore(), 70);
  EXPECT_TRUE(msg->AddScore("b", 50));
  EXPECT_EQ(msg->GetScore(), 100);
  EXPECT_TRUE(msg->AddScore("c", -200));
  EXPECT_EQ(msg->GetScore(), 0);

  EXPECT_EQ(msg->GetSubject(), "Gr\xFC\xDF" "e");
  std::string address;
  EXPECT_TRUE(msg->GetRecipientAddress(address));
  EXPECT_EQ(address, "me@example.com");
  msg->SetInfoValue(TEmailInfoKey::MailBox, "box@example.com");
  EXPECT_TRUE(msg->GetRecipientAddress(address));
  EXPECT_EQ(address, "box@example.com");

  TEmailMsgRef bare = Read("Message-ID: <id@x>\r\n\r\nx\r\n", "bare.eml");
  EXPECT_EQ(bare->GetSubject(), "<id@x>");
  TEmailMsgRef none = Read("X-A: 1\r\n\r\nx\r\n", "none.eml");
  EXPECT_EQ(none->GetSubject(), "No subject");
  EXPECT_FALSE(none->GetRecipientAddress(address));
  for (const TEmailMsgRef& m : {msg, bare, none}) m->FSetFlaggedDeleted(true);
}

// ---------------------------------------------------------------------------
// UIDL, source account and the repository

class EmailMsgAccounts : public MessageFolderTest {
 protected:
  EmailMsgAccounts() : Queue(FRoot.Sub("queue")), Repository(FRoot.Path()) {
    StartAccountsModule();
    Local = GlobalLocalAccounts().Add();
    Local->SetUserId("user");
    First = Local->RemoteAccounts->Add();
    Second = Local->RemoteAccounts->Add();
    SetMessageRepositoryLookup([this](const std::string&) { return &Repository; });
  }
  ~EmailMsgAccounts() override {
    SetMessageRepositoryLookup(nullptr);
    EndAccountsModule();
  }

  TEmailMsgRef NewMessage(const std::string& subject) {
    TEmailMsgRef msg = TEmailMsg::Create(&Queue);
    msg->SetText("Subject: " + subject + "\r\n\r\nbody\r\n");
    return msg;
  }

  FakeQueue Queue;
  FakeRepository Repository;
  TLocalAccountRef Local;
  TRemoteAccountRef First, Second;
};

TEST_F(EmailMsgAccounts, GeneratedUidl) {
  const TDateTime now = EncodeDateTime(2004, 3, 1, 17, 5, 9);
  ScopedClockForTests clock(now);
  TEmailMsgRef msg = NewMessage("s");
  const std::string uidl = msg->GetUidl();
  ASSERT_EQ(uidl.size(), 38u) << uidl;
  EXPECT_EQ(uidl.substr(0, 10), "Quorvantis");
  EXPECT_EQ(uidl.substr(10, 8).find_first_not_of("0123456789ABCDEF"), std::string::npos) << uidl;
  EXPECT_EQ(uidl.substr(18), ".2004.03.01.17.05.09");
  EXPECT_EQ(msg->GetUidl(), uidl);
}

TEST_F(EmailMsgAccounts, SourceAccountCarriesTheUidlState) {
  TEmailMsgRef msg = NewMessage("s");
  msg->FSetUidl("U1");
  TUidlStatus state = us_Read;
  EXPECT_FALSE(msg->GetRemoteState(state));
  EXPECT_EQ(state, us_NonExistant);

  msg->FSetSourceRemoteAccount(First);
  EXPECT_EQ(msg->GetSourceRemoteAccount(), First);
  EXPECT_EQ(First->GetUidlStatus("U1"), us_Downloaded);
  msg->SetRemoteState(us_Read);
  EXPECT_TRUE(msg->GetRemoteState(state));
  EXPECT_EQ(state, us_Read);

  msg->FSetSourceRemoteAccount(Second);
  EXPECT_EQ(First->GetUidlStatus("U1"), us_NonExistant);
  EXPECT_EQ(Second->GetUidlStatus("U1"), us_Read);
  msg->SetRemoteState();
  EXPECT_EQ(Second->UidlCount(), 0);

  msg->FSetSourceRemoteAccount(nullptr);
  EXPECT_EQ(msg->GetSourceRemoteAccount(), nullptr);
  EXPECT_EQ(msg->GetInfoValue(TEmailInfoKey::RemoteAccountId), "");

  // Flagged deleted with a source account, a message without a UIDL gets one.
  TEmailMsgRef noUidl = NewMessage("t");
  noUidl->FSetSourceRemoteAccount(First);
  noUidl->FSetFlaggedDeleted(true);
  EXPECT_EQ(noUidl->GetInfoValue(TEmailInfoKey::UIDL).rfind("Quorvantis", 0), 0u);
}

TEST_F(EmailMsgAccounts, DuplicateUidlsGoToThePendhold) {
  TEmailMsgRef a = NewMessage("a");
  TEmailMsgRef b = NewMessage("b");
  TEmailMsgRef c = NewMessage("c");
  TEmailMsgRef locked = NewMessage("locked");
  a->FSetUidl("same");
  locked->FSetUidl("same");
  c->FSetUidl("other");

  // Another thread holds the message lock of one duplicate: it stays.
  std::atomic<bool> holding{false}, release{false};
  std::thread holder([&] {
    TCriticalSectionGuard guard(locked->MessageLock());
    holding = true;
    while (!release) std::this_thread::yield();
  });
  while (!holding) std::this_thread::yield();
  b->FSetUidl("same");
  release = true;
  holder.join();

  EXPECT_EQ(a->GetList(), &Repository.Held);
  EXPECT_EQ(b->GetList(), &Queue);
  EXPECT_EQ(c->GetList(), &Queue);
  EXPECT_EQ(locked->GetList(), &Queue);
  EXPECT_EQ(Repository.HeldReasons, Lines{kDuplicateUidlReason});
  EXPECT_TRUE(a->IsInPendhold());
  EXPECT_FALSE(b->IsInPendhold());

  // Setting the UIDL it has already walks nothing.
  b->FSetUidl("same");
  EXPECT_EQ(Repository.HeldReasons.size(), 1u);

  EXPECT_TRUE(c->MoveToTrash(3, "why"));
  EXPECT_TRUE(c->IsInTrash());
  EXPECT_EQ(c->DeleteCode(), 3);
  EXPECT_EQ(c->DeleteReason(), "why");
}

// The operations that reach the queues refuse to run under the message
// lock, and the message lock refuses a thread that holds an account lock.
TEST_F(EmailMsgAccounts, LockOrder) {
  TEmailMsgRef msg = NewMessage("s");
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    EXPECT_THROW(msg->SendToPendhold("x"), std::logic_error);
    EXPECT_THROW(msg->MoveToTrash(1, "x"), std::logic_error);
    EXPECT_THROW(msg->Obliterate(false, "x"), std::logic_error);
    EXPECT_THROW(msg->FSetUidl("x"), std::logic_error);
    EXPECT_THROW(msg->IsInPendhold(), std::logic_error);
  }
  ++detail::AccountLockDepth();
  EXPECT_THROW(msg->GetHeader(), std::logic_error);
  --detail::AccountLockDepth();
  EXPECT_NO_THROW(msg->GetHeader());
}

// ---------------------------------------------------------------------------
// The claim

class EmailMsgClaim : public MessageFolderTest {};

// Runs the function on another thread and answers its result.
template <class F>
auto OnOtherThread(F work) {
  decltype(work()) result{};
  std::thread([&] { result = work(); }).join();
  return result;
}

TEST_F(EmailMsgClaim, OwnersAndThreads) {
  TEmailMsgRef msg = TEmailMsg::Create();
  TScopedClaimOwner first;
  auto second = std::make_unique<TScopedClaimOwner>();
  EXPECT_FALSE(msg->IsLockedByOther());
  EXPECT_TRUE(OnOtherThread([&] { return msg->Lock(second->Token(), "pop3"); }));
  EXPECT_TRUE(msg->Lock(second->Token(), "again"));
  EXPECT_EQ(msg->ClaimText(), "pop3");
  EXPECT_FALSE(msg->Lock(first.Token(), "webmail"));
  EXPECT_TRUE(msg->IsLockedByOther());
  EXPECT_FALSE(msg->ClaimAllowsCurrentThread());
  // Unlocking with a valid owner that does not hold it changes nothing.
  msg->Unlock(first.Token(), "");
  EXPECT_EQ(msg->ClaimOwner(), second->Token());
  // A gone owner's claim is free, and its token is never handed out again.
  const TClaimOwner gone = second->Token();
  second.reset();
  EXPECT_FALSE(msg->IsLockedByOther());
  EXPECT_TRUE(msg->Lock(first.Token(), "webmail"));
  TScopedClaimOwner third;
  EXPECT_NE(third.Token(), gone);
  msg->Unlock(first.Token(), "");
  EXPECT_EQ(msg->ClaimOwner(), kNoClaimOwner);
}

TEST_F(EmailMsgClaim, OldClaimsAreClearedByAnotherThreadsTest) {
  TDateTime now = EncodeDateTime(2005, 6, 1, 12, 0, 0);
  SetClockForTests([&] { return now; });
  TEmailMsgRef msg = TEmailMsg::Create();
  TScopedClaimOwner owner;
  ASSERT_TRUE(msg->Lock(owner.Token(), "pop3"));
  auto otherTest = [&] { return OnOtherThread([&] { return msg->IsLockedByOther(); }); };
  now += 119.0 / 86400;
  EXPECT_TRUE(otherTest());
  // The owner renews; then 121 s pass without a renewal.
  EXPECT_TRUE(msg->RenewClaim(owner.Token()));
  EXPECT_FALSE(msg->RenewClaim(owner.Token() + 1000));
  now += 100.0 / 86400;
  EXPECT_TRUE(otherTest());
  now += 21.0 / 86400;
  EXPECT_FALSE(msg->IsLockedByOther());  // the claiming thread never clears it
  EXPECT_TRUE(otherTest());
  EXPECT_FALSE(otherTest());
  EXPECT_EQ(msg->ClaimOwner(), kNoClaimOwner);
  // Age does not matter to Lock: only a valid owner blocks it.
  ASSERT_TRUE(msg->Lock(owner.Token(), "again"));
  now += 1;
  TScopedClaimOwner other;
  EXPECT_FALSE(OnOtherThread([&] { return msg->Lock(other.Token(), "x"); }));
  ResetClock();
}

// ---------------------------------------------------------------------------
// The return-address check thread

class SpinningCheck : public TQuorThread {
 public:
  explicit SpinningCheck(bool obeys) : FObeys(obeys) {}
  std::atomic<bool> Started{false};
  std::atomic<bool> Stop{false};

 protected:
  void Execute() override {
    Started = true;
    while (!Stop && !(FObeys && CheckTerminated())) std::this_thread::yield();
  }

 private:
  bool FObeys;
};

TEST_F(EmailMsgClaim, AddressCheckThreadIsWaitedForThenAbandoned) {
  for (bool obeys : {true, false}) {
    SCOPED_TRACE(obeys);
    SpinningCheck* check = CreateQuorThread<SpinningCheck>(false, obeys);
    TThreadHandle handle = check->Handle();
    ASSERT_TRUE(test::Eventually([&] { return check->Started.load(); }));
    {
      TEmailMsgRef msg = TEmailMsg::Create();
      EXPECT_TRUE(msg->AddressCheckDone());
      msg->SetAddressCheckThread(handle);
      EXPECT_FALSE(msg->AddressCheckDone());
    }
    if (!obeys) {
      EXPECT_TRUE(check->Abandoned());
      check->Stop = true;
    }
    EXPECT_TRUE(test::Eventually([&] { return !ThreadHandleAlive(handle); }));
  }
}

}  // namespace
}  // namespace halvorn
