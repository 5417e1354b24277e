// A message's checksum array and DCC record: which texts are hashed, in
// which order, and where the results are kept.
#include <algorithm>
#include <cctype>
#include <string_view>

#include "foundation/app/developer_mode.h"
#include "foundation/app/statistics_hooks.h"
#include "foundation/crypto/md5.h"
#include "foundation/files/atomic_file.h"
#include "foundation/net/host_names.h"
#include "foundation/text/encoded_words.h"
#include "foundation/text/html_parser.h"
#include "foundation/text/random_texts.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "message/email_msg.h"
#include "message/received_line.h"

namespace halvorn {

namespace {

// Backups are read up to the size a message may have.
constexpr std::size_t kMaxBackupBytes = static_cast<std::size_t>(INT32_MAX);
constexpr int kTraceLevel = 11;

void AppendWithCrLf(const TStringList& lines, std::string& text) {
  for (int i = 0; i < lines.Count(); ++i) {
    text += lines[i];
    text += "\r\n";
  }
}

bool StartsWithCI(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool ContainsCI(std::string_view text, std::string_view part) {
  return PosCI(part, text) > 0;
}

// The first line is the Received line the program wrote when it downloaded
// the message: the older form names "quorvantis:", the current one reads
// "... with POP3 Quorvantis Halvorn...".
bool IsOwnReceivedLine(std::string_view line) {
  if (ContainsCI(line, "received:") && ContainsCI(line, "quorvantis:")) return true;
  return StartsWithCI(line, "received:") && ContainsCI(line, "with pop3 quorvantis ");
}

// Drops the program's own Received header (its first line and the
// continuation lines after it) from the front of the lines.
void DropOwnReceivedLine(TStringList& lines) {
  if (lines.Empty() || !IsOwnReceivedLine(lines[0])) return;
  int end = 1;
  while (end < lines.Count() && !lines[end].empty() && (lines[end][0] == '\t' || lines[end][0] == ' '))
    ++end;
  TStringList rest;
  for (int i = end; i < lines.Count(); ++i) rest.AddItem(lines.Item(i));
  lines = std::move(rest);
}

// A dotted IPv4 address of four numbers.
bool IsDottedIPv4(const std::string& text) {
  return std::count(text.begin(), text.end(), '.') == 3 && IsDottedNumberText(text) && IsIPAddress(text);
}

// Later repeats of a line dropped, the order kept.
void DropRepeatedLines(TSimpleHtml& report) {
  TStringList seen;
  seen.SetCaseSensitive(true);
  seen.SetSorted(true);
  TSimpleHtml kept;
  for (int i = 0; i < report.Count(); ++i) {
    int at = 0;
    if (seen.Find(report[i], at)) continue;
    seen.Add(report[i]);
    kept.AddItem(report.Item(i));
  }
  report = std::move(kept);
}

constexpr std::pair<TEmailInfoKey, int> kCachedDccSums[] = {
    {TEmailInfoKey::DccBody, DCC_CK_BODY},
    {TEmailInfoKey::DccFuz1, DCC_CK_FUZ1},
    {TEmailInfoKey::DccFuz2, DCC_CK_FUZ2},
};

}  // namespace

int TEmailMsg::GetCheckSums(TCheckSumArray& array, bool trace) {
  TMsgGuard guard(FLock);
  array.clear();
  if (!FCheckSums.empty()) {
    array = FCheckSums;
    return static_cast<int>(array.size());
  }
  ++CheckSumCount;
  if (!EnsureLoadedLocked() && !IsLoadedLocked()) return 0;
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  const bool hotmail = (plain != nullptr || html != nullptr) && IsFromHotmail();

  // The body text.
  std::string body;
  if (plain != nullptr) {
    TStringList lines;
    plain->AppendPlainText(lines, false);
    if (hotmail) StripFreeMailTextFooter(lines);
    StripFreeMailTagline(lines);
    AppendWithCrLf(lines, body);
  }
  if (html != nullptr) {
    TStringList lines;
    html->DecodeToStringList(lines, false);
    if (hotmail) StripFreeMailHtmlFooter(lines);
    StripFreeMailTagline(lines);
    HtmlLinesToPlainText(lines);
    body += ".\r\n";
    AppendWithCrLf(lines, body);
  }
  if (plain == nullptr && html == nullptr) {
    TStringList lines;
    GetPlainText(lines, false);
    body += ".\r\n";
    AppendWithCrLf(lines, body);
  }
  TStringList sentences;
  SplitIntoSentences(body, sentences, false);

  TSimpleHtml traceReport;
  TSimpleHtml* traced = nullptr;
  if (trace && IsDeveloperMode()) {
    traced = &traceReport;
    traceReport.AddLine("<b>Checksums:</b>", kTraceLevel, kHtmlKindAll, true);
  }
  for (int i = 0; i < sentences.Count(); ++i) {
    std::string sentence = sentences[i];
    sentence.erase(std::remove(sentence.begin(), sentence.end(), ' '), sentence.end());
    if (sentence.empty()) continue;
    std::uint32_t checksum = CheckSumOfText(sentence);
    SetCheckSumType(cstBodyText, checksum);
    array.push_back(checksum);
    if (traced != nullptr)
      traced->AddLine(std::to_string(checksum) + " cstBodyText " + sentences[i], kTraceLevel, kHtmlKindAll,
                      true);
  }

  // The special body checksums, of the HTML with its entities decoded, else
  // of the plain text.
  StatEnter("GetCheckSums.GetSpecialBodyChecksums");
  if (html != nullptr || plain != nullptr) {
    TStringList lines;
    (html != nullptr ? html : plain)->DecodeToStringList(lines, false);
    std::string text = lines.Text();
    if (html != nullptr) HtmlDecodeEntitiesInPlace(text);
    GetSpecialBodyChecksums(text, array, traced);
  }
  StatLeave("GetCheckSums.GetSpecialBodyChecksums", 0);

  GetImageChecksums(array);
  GetReceivedIpChecksums(array);
  RemoveDuplicateChecksums(array);
  if (traced != nullptr) {
    DropRepeatedLines(traceReport);
    for (int i = 0; i < traceReport.Count(); ++i) FMatchInfo.AddItem(traceReport.Item(i));
  }
  FCheckSums = array;
  return static_cast<int>(array.size());
}

void TEmailMsg::GetImageChecksums(TCheckSumArray& array) {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  if (FHeader->IsRfc822Attachment()) return;
  for (int i = 0; i < FParts->Count(); ++i) {
    TEmailMsgPart* part = FParts->Items(i);
    TEmailHeader* header = part->Header();
    if (header == nullptr || !(header->IsAttachment() || header->IsInlineAttachment())) continue;
    const std::uint32_t checksum = part->CheckSum();
    if (CheckSumType(checksum) == cstImage) array.push_back(checksum);
  }
}

void TEmailMsg::GetReceivedIpChecksums(TCheckSumArray& array) {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  std::vector<std::string> received;
  FHeader->GetReceivedLines(received);
  std::vector<std::uint32_t> addresses;
  for (const std::string& line : received) {
    std::string address;
    if (ReceivedFromIP(line, address) && IsDottedIPv4(address)) addresses.push_back(StrToIP(address));
  }
  AppendAddressPairChecksums(addresses, cstReceivedAddrPair, array);
}

bool TEmailMsg::PrefetchChecksums() {
  TMsgGuard guard(FLock);
  if (PrefetchDone.load()) return true;
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  std::string text;
  if (html != nullptr || plain != nullptr) {
    TStringList lines;
    (html != nullptr ? html : plain)->DecodeToStringList(lines, false);
    text = lines.Text();
    if (html != nullptr) HtmlDecodeEntitiesInPlace(text);
  }
  PrefetchSpecialBodyChecksums(text);
  PrefetchDone.store(true);
  return false;
}

bool TEmailMsg::GetDccChecksums(TDccChecksums& record) {
  TMsgGuard guard(FLock);
  ClearDccRecord(record);
  return FalseOnFailure("GetDccChecksums", [&] {
    if (IsDccRecordEmpty(FDccSums)) {
      for (const auto& [key, type] : kCachedDccSums) {
        const std::string hex = GetInfoValue(key);
        if (hex.empty()) continue;
        TDigest16 sum;
        HexToDigest(hex, sum);
        if (!IsDigest16Empty(sum)) SetDccSum(type, sum, FDccSums);
      }
    }
    if (IsDccRecordEmpty(FDccSums)) {
      if (!LoadDccLibrary()) return false;
      TStringList lines;
      std::string backup;
      GetBackupFileName(backup);
      std::string bytes;
      if (!backup.empty() && ReadFileBytes(backup, kMaxBackupBytes, bytes).empty()) {
        lines.SetText(bytes);
      } else {
        GetRawTextLocked(lines, true);
        DropOwnReceivedLine(lines);
      }
      if (lines.Empty()) return true;
      TDccChecksums computed;
      if (!ComputeDccChecksums(lines, computed)) return false;
      EnsureParsedLocked();
      if (FHeader->IndexOfName("Message-Id") < 0) RemoveDccSum(DCC_CK_MESSAGE_ID, computed);
      SetDccSum(DCC_CK_ENV_FROM, MD5String(RandomVisibleChars(6)), computed);
      FDccSums = computed;
    }
    record = FDccSums;
    for (const auto& [key, type] : kCachedDccSums) {
      TDigest16 sum;
      GetDccSum(type, FDccSums, sum);
      if (!IsDigest16Empty(sum)) SetInfoValue(key, DigestToHex(sum));
    }
    return true;
  });
}

namespace {

bool DccSumOf(TEmailMsg& msg, int type, TDigest16& sum) {
  ClearDigest16(sum);
  TDccChecksums record;
  if (!msg.GetDccChecksums(record)) return false;
  GetDccSum(type, record, sum);
  return !IsDigest16Empty(sum);
}

}  // namespace

bool TEmailMsg::GetDccBodySum(TDigest16& sum) {
  return DccSumOf(*this, DCC_CK_BODY, sum);
}

bool TEmailMsg::GetDccFuz1Sum(TDigest16& sum) {
  return DccSumOf(*this, DCC_CK_FUZ1, sum);
}

bool TEmailMsg::GetDccFuz2Sum(TDigest16& sum) {
  return DccSumOf(*this, DCC_CK_FUZ2, sum);
}

}  // namespace halvorn
