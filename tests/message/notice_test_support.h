// What the tests of the notice, the reports and the checksum assembly share:
// messages made from texts, the user's processing options for one test, and
// the decoded lines of a message's text parts.
#pragma once

#include <string>
#include <vector>

#include "message/email_msg.h"
#include "message/processing_options.h"

namespace halvorn::test {

// Message text written with LF line ends, as CR LF.
inline std::string CrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A message of the bytes (a file the program did not write) that never
// writes a file when it goes.
inline TEmailMsgRef MessageFromBytes(const std::string& bytes) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(bytes);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

// The message text as it would be sent (no property line, attachments
// whole), each line ended by CR LF.
inline std::string MessageText(TEmailMsg& msg) {
  TStringList lines;
  msg.GetRawText(lines, true);
  return lines.Text();
}

// The decoded lines of the plain and the HTML part ("" for a missing part
// is told apart by the flag).
struct TTextPartLines {
  bool HasPlain = false, HasHtml = false;
  std::vector<std::string> Plain, Html;
};
inline TTextPartLines TextPartLines(TEmailMsg& msg) {
  TTextPartLines out;
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  msg.GetTextParts(plain, html);
  TStringList lines;
  if (plain != nullptr) {
    out.HasPlain = true;
    plain->DecodeToStringList(lines, false);
    out.Plain = lines.ToVector();
  }
  if (html != nullptr) {
    out.HasHtml = true;
    html->DecodeToStringList(lines, false);
    out.Html = lines.ToVector();
  }
  return out;
}

// Sets the user's processing options for one test (a whole new set) and
// puts the defaults back afterwards.
class ScopedProcessingOptions {
 public:
  explicit ScopedProcessingOptions(TProcessingOptions options) {
    SetProcessingOptions(kSingleUserName, options);
  }
  ~ScopedProcessingOptions() {
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
  }
  ScopedProcessingOptions(const ScopedProcessingOptions&) = delete;
  ScopedProcessingOptions& operator=(const ScopedProcessingOptions&) = delete;
};

inline TProcessingOptions NoticeOptions(int infoType, int infoLocation, int detailLevel = 5) {
  TProcessingOptions options;
  options.InfoType = infoType;
  options.InfoLocation = infoLocation;
  options.DetailLevel = static_cast<std::uint16_t>(detailLevel);
  return options;
}

// Message fixtures of every body shape the notice meets. Each HTML text
// holds the user's paragraph <p id="user">.
struct TNoticeFixture {
  const char* Name;
  std::string Text;  // CR LF line ends
  bool HasPlain, HasHtml;
};

inline std::vector<TNoticeFixture> NoticeFixtures() {
  const std::string head =
      "From: Alice <alice@example.com>\n"
      "To: Bob <bob@example.com>\n"
      "Subject: Fixture\n"
      "Date: Tue, 3 Dec 2002 10:15:00 +0100\n"
      "Message-ID: <fixture@example.com>\n"
      "MIME-Version: 1.0\n";
  const std::string html = "<html><body><p id=\"user\">Hello Bob,</p><p>the HTML body.</p></body></html>\n";
  std::vector<TNoticeFixture> fixtures = {
      {"plain", CrLf(head + "Content-Type: text/plain; charset=us-ascii\n\nHello Bob,\nthe plain body.\n"),
       true, false},
      {"html_bare", CrLf(head + "Content-Type: text/html; charset=us-ascii\n\n" + html), false, true},
      {"html_attributes",
       CrLf(head +
            "Content-Type: text/html; charset=us-ascii\n\n"
            "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
            "<html lang=\"en\" dir=\"ltr\">\n<head><title>t</title><style>p { color: red }</style></head>\n"
            "<BODY bgcolor=\"#ffffff\" onload=\"if (a > b) go()\">\n"
            "<p id=\"user\">Hello Bob,</p>\n</BODY>\n</html>\n"),
       false, true},
      {"html_fragment",
       CrLf(head + "Content-Type: text/html; charset=us-ascii\n\n<p id=\"user\">Hello Bob,</p>\n<p>no tags</p>\n"),
       false, true},
      {"alternative",
       CrLf(head +
            "Content-Type: multipart/alternative; boundary=\"alt\"\n\n"
            "--alt\nContent-Type: text/plain; charset=us-ascii\n\nHello Bob,\nthe plain body.\n"
            "--alt\nContent-Type: text/html; charset=us-ascii\n\n" +
            html + "--alt--\n"),
       true, true},
      {"mixed",
       CrLf(head +
            "Content-Type: multipart/mixed; boundary=\"mix\"\n\n"
            "This is a multi-part message.\n"
            "--mix\nContent-Type: multipart/alternative; boundary=\"alt\"\n\n"
            "--alt\nContent-Type: text/plain; charset=us-ascii\n\nHello Bob,\nsee the attachments.\n"
            "--alt\nContent-Type: text/html; charset=us-ascii\n\n" +
            html +
            "--alt--\n"
            "--mix\nContent-Type: application/pdf; name=\"a.pdf\"\n"
            "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"a.pdf\"\n\n"
            "JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFI+PgpzdHJlYW0K\n"
            "--mix\nContent-Type: text/plain; name=\"notes.txt\"\n"
            "Content-Disposition: attachment; filename=\"notes.txt\"\n\n"
            "An attached text: ---------------------Begin_Quorvantis_Information--------------------\n"
            "--mix--\n"),
       true, true},
      {"base64",
       CrLf(head +
            "Content-Type: multipart/alternative; boundary=\"alt\"\n\n"
            "--alt\nContent-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: base64\n\n"
            "SGVsbG8gQm9iLA0KdGhlIHBsYWluIGJvZHkuDQo=\n"
            "--alt\nContent-Type: text/html; charset=us-ascii\nContent-Transfer-Encoding: base64\n\n"
            "PGh0bWw+PGJvZHk+PHAgaWQ9InVzZXIiPkhlbGxvIEJvYiw8L3A+PC9ib2R5PjwvaHRtbD4NCg==\n"
            "--alt--\n"),
       true, true},
      {"quoted_printable",
       CrLf(head +
            "Content-Type: multipart/alternative; boundary=\"alt\"\n\n"
            "--alt\nContent-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n"
            "Hello Bob, caf=E9 and a long line that goes on and on and on and on and on and=\n"
            " on until it is soft-broken.\n"
            "--alt\nContent-Type: text/html; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n"
            "<html><body style=3D\"x\"><p id=3D\"user\">Hello Bob, caf=E9</p></body></html>\n"
            "--alt--\n"),
       true, true},
      {"eight_bit",
       CrLf(head +
            "Content-Type: multipart/alternative; boundary=\"alt\"\n\n"
            "--alt\nContent-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: 8bit\n\n"
            "Hello Bob, caf\xE9 cr\xE8me br\xFBl\xE9" "e.\n"
            "--alt\nContent-Type: text/html; charset=iso-8859-1\nContent-Transfer-Encoding: 8bit\n\n"
            "<html><body><p id=\"user\">Hello Bob, caf\xE9</p></body></html>\n"
            "--alt--\n"),
       true, true},
  };
  return fixtures;
}

}  // namespace halvorn::test
