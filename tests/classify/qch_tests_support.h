// What the tests of the central-service answer tests share: match records
// built field by field, a message with an image attachment, and the
// explanation lines of a judgement as the tests publish them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lists/qch/qch_records.h"
#include "message/email_msg.h"
#include "message/msg_search_rec.h"
#include "simple_tests_support.h"

namespace halvorn::test {

// A match record, zero but for what is set.
class Rec {
 public:
  explicit Rec(std::uint8_t kind = kMatchMessage) {
    InitMsgSearchRec(FRecord);
    FRecord.Kind = kind;
  }
  // The checksum counts: overlap = common / (common + extra + missing).
  Rec& Counts(std::int32_t common, std::int32_t extra, std::int32_t missing) {
    FRecord.CommonCount = common;
    FRecord.ExtraCount = extra;
    FRecord.MissingCount = missing;
    return *this;
  }
  Rec& Seen(std::int32_t times) {
    FRecord.TimesEncountered = times;
    return *this;
  }
  Rec& Votes(std::uint8_t category, std::uint16_t votes) {
    SetCategoryCount(FRecord.Counts, category, votes);
    return *this;
  }
  Rec& Staff(std::uint8_t category) {
    FRecord.Counts.StaffCategory = category;
    return *this;
  }
  Rec& Item(std::int32_t id) {
    FRecord.ItemId = id;
    return *this;
  }
  operator TMsgSearchRec() const { return FRecord; }  // NOLINT: a builder

 private:
  TMsgSearchRec FRecord;
};

// The attachment name of the picture message.
inline constexpr const char* kPictureName = "pic.gif";

// A message with a plain part and an image attachment "pic.gif" (its
// checksum is the message's one image checksum); never written.
inline TEmailMsgRef PictureMessage(const std::string& subject = "Picture") {
  return MessageFromBytes(
      "From: Ann <ann@example.org>\r\nSubject: " + subject +
      "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nSee the picture.\r\n"
      "--b\r\nContent-Type: image/gif; name=\"pic.gif\"\r\n"
      "Content-Disposition: attachment; filename=\"pic.gif\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n"
      "R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7\r\n--b--\r\n");
}

// A plain message without attachments; never written.
inline TEmailMsgRef PlainMessage(const std::string& subject = "Plain") {
  return MessageFromBytes("From: Ann <ann@example.org>\r\nSubject: " + subject +
                          "\r\n\r\nNothing attached.\r\n");
}

// The checksum of the picture message's attachment.
inline std::int32_t PictureChecksum(TEmailMsg& msg) {
  TCheckSumArray images;
  msg.GetImageChecksums(images);
  return images.empty() ? 0 : static_cast<std::int32_t>(images[0]);
}

// Hands the records to the message as the incoming processing keeps them.
inline void SetRecords(TEmailMsg& msg, const std::vector<TMsgSearchRec>& records) {
  TCriticalSectionGuard guard(msg.MessageLock());
  msg.SearchRecs() = records;
}

// The explanation a test publishes: the headline, then the lines, all at
// level 9, each after a line break.
inline Lines Explained(bool passed, const std::string& check, const std::string& name,
                       const Lines& details) {
  Lines lines{std::string("9 ") + (details.empty() ? "" : "<br>") + "email " +
              (passed ? "passed " : "failed ") + check + " \"" + name + "\".<br>"};
  for (const std::string& detail : details) lines.push_back("9 <br>" + detail);
  return lines;
}

// The message's standard tests from..to as letters (y, n, u).
inline std::string StandardLetters(TEmailMsg& msg, std::int32_t from, std::int32_t to) {
  std::string letters;
  for (std::int32_t n = from; n <= to; ++n) {
    const TTrite trite = StandardTrite(msg, n);
    letters += trite == kTriteYes ? 'y' : trite == kTriteNo ? 'n' : 'u';
  }
  return letters;
}

}  // namespace halvorn::test
