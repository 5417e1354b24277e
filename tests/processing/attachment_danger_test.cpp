// The attachment danger analysis by hand-worked cases: hidden extensions,
// blank runs, missing names and types, inline risk after the clamp, the
// numbering of several attachments, that every attachment's danger counts,
// and that names from the message never become markup.
#include "processing/attachment_danger.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lists/file_extensions.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/email_msg_part.h"
#include "message/msg_search_rec.h"
#include "foundation/text/trite_array.h"

namespace halvorn {
namespace {

std::shared_ptr<TFileExtensionList> Table() {
  auto table = std::make_shared<TFileExtensionList>();
  table->SetText("1=exe,3=3\r\n1=txt,3=0\r\n1=doc,3=1\r\n1=js,3=2\r\n");
  table->LoadBuiltIn();
  return table;
}

// A message of a text part and the given attachment parts.
TEmailMsgRef WithAttachments(const std::vector<std::string>& parts, const std::string& subject = "s") {
  std::string text = "From: a@example.com\r\nSubject: " + subject +
                     "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
                     "--B\r\nContent-Type: text/plain\r\n\r\nhello\r\n";
  for (const std::string& part : parts) text += "--B\r\n" + part + "\r\n\r\nAAAA\r\n";
  text += "--B--\r\n";
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->SetText(text);
  return msg;
}

std::string Danger(const std::string& name) {
  return "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\"" +
         name + "\"";
}

TEST(AttachmentDanger, HandWorkedCases) {
  const auto table = Table();
  struct Row {
    std::string Part;
    int Danger;  // the part's danger after the analysis
    const char* Found;
  } rows[] = {
      {Danger("invoice.txt.exe"), 100, "Total danger level associated with this attachment is 110."},
      {Danger("notes    x.txt"), 16, "4 consecutive spaces found"},
      {"Content-Disposition: attachment", 50, "There is no file type information at all"},
      {"Content-Type: application/x-js; name=\"run.js\"\r\nContent-Disposition: inline; filename=\"run.js\"",
       70, "Unsafe file asked to be displayed inline"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Part);
    TEmailMsgRef msg = WithAttachments({row.Part});
    CheckAttachedFiles(*msg, table.get());
    TEmailMsgPart* part = msg->GetParts().Items(msg->GetParts().Count() - 1);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->DangerPoints, row.Danger);
    const std::string info = msg->AttachmentInfo().Text();
    EXPECT_NE(info.find(row.Found), std::string::npos) << info;
    EXPECT_EQ(msg->GetScore(), std::min(100, row.Danger));
  }
}

TEST(AttachmentDanger, EveryAttachmentCountsAndIsNumbered) {
  const auto table = Table();
  TEmailMsgRef msg = WithAttachments({Danger("letter.doc"), Danger("<script>x&.exe")});
  CheckAttachedFiles(*msg, table.get());
  const std::string info = msg->AttachmentInfo().Text();
  EXPECT_NE(info.find("number 1 of 2 \"letter.doc\""), std::string::npos) << info;
  EXPECT_NE(info.find("number 2 of 2 &quot;scriptx&amp;.exe&quot;"), std::string::npos) << info;
  EXPECT_EQ(info.find("<script>"), std::string::npos);
  // The harmless ".doc" first does not hide the ".exe": the entry keeps the
  // larger danger.
  EXPECT_EQ(msg->GetScore(), 50);
  std::string entries;
  msg->WithInfo([&](TEmailInfo& record) {
    for (int i = 742; i <= 753; ++i) entries += TriteToChar(record.StandardTest(i));
  });
  EXPECT_EQ(entries, "nyny" "nnnnnnnn");
}

TEST(AttachmentDanger, NoAttachmentsLeavesTheEntriesUnknown) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->SetText("Subject: plain\r\n\r\nhello\r\n");
  CheckAttachedFiles(*msg, Table().get());
  EXPECT_NE(msg->AttachmentInfo().Text().find("No attachments found."), std::string::npos);
  msg->WithInfo([](TEmailInfo& record) { EXPECT_EQ(record.StandardTest(742), kTriteUnknown); });
}

TEST(AttachmentDanger, ServiceVotesWarn) {
  TEmailMsgRef msg = WithAttachments({Danger("a.txt")});
  msg->GetParts().Items(msg->GetParts().Count() - 1)->SearchRec.Counts.Virus = 5;
  CheckAttachedFiles(*msg, Table().get());
  EXPECT_NE(msg->AttachmentInfo().Text().find("Warning: 5 users have flagged this attached file as a virus."),
            std::string::npos)
      << msg->AttachmentInfo().Text();
  EXPECT_EQ(msg->GetParts().Items(msg->GetParts().Count() - 1)->DangerPoints, 15);
}

}  // namespace
}  // namespace halvorn
