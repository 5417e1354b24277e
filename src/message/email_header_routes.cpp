// The header's readings of people and route: addresses, Received lines, the
// last relay outside this computer and the mailing-list fingerprint.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/encoded_words.h"
#include "foundation/time/clock.h"
#include "message/email_header.h"

namespace halvorn {

namespace {

// The position, counted from the top from 0, of the n-th Received header of
// `count`; -1 when there is none.
int ReceivedPosition(int n, std::size_t count) {
  const std::int64_t c = static_cast<std::int64_t>(count);
  const std::int64_t pos = n < 0 ? -static_cast<std::int64_t>(n) - 1 : c - n;
  return n == 0 || pos < 0 || pos >= c ? -1 : static_cast<int>(pos);
}

}  // namespace

// ---------------------------------------------------------------------------
// Addresses

std::unique_ptr<TEmailAddressCollection> TEmailHeader::AddressesOf(std::string_view name) {
  std::string value;
  if (!GetValue(name, value)) return nullptr;
  auto addresses = std::make_unique<TEmailAddressCollection>();
  addresses->AddList(value);
  return addresses;
}

std::unique_ptr<TEmailAddressCollection> TEmailHeader::GetTo() {
  return AddressesOf("To");
}

std::unique_ptr<TEmailAddressCollection> TEmailHeader::GetCC() {
  return AddressesOf("CC");
}

std::unique_ptr<TEmailAddressCollection> TEmailHeader::GetToAndCC() {
  TCriticalSectionGuard guard(FLock);
  std::string to, cc;
  GetValue("TO", to);
  GetValue("CC", cc);
  if (to.empty() && cc.empty()) return nullptr;
  auto addresses = std::make_unique<TEmailAddressCollection>();
  if (!to.empty()) addresses->AddList(to);
  if (!cc.empty()) addresses->AddList(cc);
  return addresses;
}

bool TEmailHeader::RecipientListScore(bool fewAddressesRule, double& score) {
  const std::unique_ptr<TEmailAddressCollection> addresses = GetToAndCC();
  score = addresses ? addresses->RecipientListScore(fewAddressesRule) : 0.0;
  return addresses != nullptr;
}

void TEmailHeader::GetAddresses(std::string_view name, TEmailAddressCollection& addresses) {
  std::string value;
  if (GetRawValue(name, value, true)) addresses.AddList(value);
}

void TEmailHeader::GetRecipients(TStringList& recipients) {
  TCriticalSectionGuard guard(FLock);
  for (const std::string_view name : {"To", "CC", "BCC"}) {
    TEmailAddressCollection addresses;
    GetAddresses(name, addresses);
    for (int i = 0; i < addresses.Count(); ++i)
      if (!addresses.Items(i).Address.empty()) recipients.Add(addresses.Items(i).Address);
  }
}

bool TEmailHeader::GetFirstRecipient(std::string& recipient) {
  TStringList recipients;
  GetRecipients(recipients);
  recipient = recipients.Empty() ? std::string() : recipients[0];
  return !recipients.Empty();
}

bool TEmailHeader::AddressOf(std::string_view name, std::string& address) {
  std::string value;
  const bool found = GetValue(name, value);
  address = found ? NormalizeEmailAddress(value) : std::string();
  return found;
}

bool TEmailHeader::GetFromAddress(std::string& address) {
  return AddressOf("From", address);
}

bool TEmailHeader::GetReplyToAddress(std::string& address) {
  return AddressOf("Reply-To", address);
}

bool TEmailHeader::GetXSenderAddress(std::string& address) {
  return AddressOf("X-Sender", address);
}

bool TEmailHeader::GetSenderAddress(std::string& address) {
  return AddressOf("Sender", address);
}

bool TEmailHeader::GetXReturnPathAddress(std::string& address) {
  return AddressOf("X-ReturnPath", address);
}

// ---------------------------------------------------------------------------
// Received lines

std::vector<int> TEmailHeader::ReceivedIndexesLocked() const {
  std::vector<int> indexes;
  for (int i = 0; i < FNames.Count(); ++i)
    if (SameText1252(FNames[i], "Received")) indexes.push_back(i);
  return indexes;
}

std::string TEmailHeader::TakeReceivedLocked(int entry) {
  const std::string& value = FValues[entry];
  if (value.find_first_of("\r\n") == std::string::npos && value.find("Quor") == std::string::npos)
    FFlags |= HeaderErrorBit(heReceivedLineNotWraped);
  return UnfoldHeaderValue(value);
}

int TEmailHeader::ReceivedCount() {
  return CountHeader("Received");
}

int TEmailHeader::CountHeader(std::string_view name) {
  TCriticalSectionGuard guard(FLock);
  int count = 0;
  bool otherSeen = false;
  for (int i = 0; i < FNames.Count(); ++i) {
    const std::string& stored = FNames[i];
    if (!SameText1252(stored, name)) {
      otherSeen = true;
      continue;
    }
    ++count;
    if (otherSeen && stored != "Return-Path" && stored != "X-Message-Info")
      FFlags |= HeaderErrorBit(heReceivedOutOfOrder);
  }
  return count;
}

bool TEmailHeader::GetReceivedLine(int n, std::string& line) {
  TCriticalSectionGuard guard(FLock);
  const std::vector<int> indexes = ReceivedIndexesLocked();
  const int pos = ReceivedPosition(n, indexes.size());
  if (pos < 0) {
    line.clear();
    return false;
  }
  line = TakeReceivedLocked(indexes[pos]);
  return true;
}

void TEmailHeader::GetReceivedLines(std::vector<std::string>& lines) {
  TCriticalSectionGuard guard(FLock);
  lines.clear();
  for (const int entry : ReceivedIndexesLocked()) lines.push_back(TakeReceivedLocked(entry));
}

std::unique_ptr<TReceivedLine> TEmailHeader::CreateReceivedLine(int n) {
  TCriticalSectionGuard guard(FLock);
  std::string text;
  if (!GetReceivedLine(n, text)) return nullptr;
  auto line = std::make_unique<TReceivedLine>(text);
  FFlags |= line->FFlags;
  return line;
}

bool TEmailHeader::GetReceivedFromIP(int n, std::string& address) {
  std::string line;
  if (!GetReceivedLine(n, line)) {
    address.clear();
    return false;
  }
  return ReceivedFromIP(line, address);
}

std::uint16_t TEmailHeader::GetReceivedDate(int n, TDateTime& date, TDateTime& zone) {
  date = Now();
  zone = 0;
  std::string line;
  if (!GetReceivedLine(n, line)) return kDateEmpty;
  return ParseDateTime(LastDatePart(line), date, zone);
}

int TEmailHeader::GetReceivedHour() {
  TCriticalSectionGuard guard(FLock);
  for (const int entry : ReceivedIndexesLocked()) {
    const std::string line = TakeReceivedLocked(entry);
    if (line.find("Quor") != std::string::npos) continue;
    TDateTime date = Now();
    TDateTime zone = 0;
    if (ParseDateTime(LastDatePart(line), date, zone) & kDateIrregular) continue;
    // Halves go to the even hour, as the classification's features were
    // computed.
    return static_cast<int>(std::nearbyint((date - std::floor(date)) * 24));
  }
  return -1;
}

bool TEmailHeader::GetLastExternalReceivedIP(int& index, std::string& address) {
  {
    TCriticalSectionGuard guard(FLock);
    if (FLastExternalKnown) {
      index = FLastExternalIndex;
      address = FLastExternalIP;
      return IsDottedNumberText(address);
    }
  }
  // The first question about this computer's own addresses looks its names
  // up, which may take seconds; ask it before taking the lock, so that other
  // threads never wait on this header for a look-up. The answers are kept.
  IsLocalHostAddress("0.0.0.0");

  TCriticalSectionGuard guard(FLock);
  index = -1;
  address.clear();
  const std::vector<int> indexes = ReceivedIndexesLocked();
  if (indexes.empty()) return false;
  const int total = CountHeader("Received");
  int n = -1;
  if (TakeReceivedLocked(indexes[0]).starts_with("Quorvantis")) n = -2;
  bool found = false;
  for (int pos = -n - 1; pos < static_cast<int>(indexes.size()); ++pos, --n) {
    const TReceivedLine line(TakeReceivedLocked(indexes[pos]));
    FFlags |= line.FFlags;
    const std::string& ip = line.FFromIP;
    if (!IsDottedNumberText(ip) || ip.starts_with("127.") || ip.starts_with("192.")) continue;
    if (IsWebmailRelayHostName(line.FFromHost) && IsWebmailRelayHostName(line.FByHost)) continue;
    if (-n < total && CountCommonLeadingLabels(line.FFromHost, line.FByHost) >= 3) continue;
    if (IsLocalHostAddress(ip)) continue;
    index = n;
    address = ip;
    found = true;
    break;
  }
  if (!found) index = 0;
  FLastExternalKnown = true;
  FLastExternalIndex = index;
  FLastExternalIP = address;
  return found;
}

bool TEmailHeader::HasHotmailReceivedHop() {
  TCriticalSectionGuard guard(FLock);
  // The whole unfolded line is held against the host-name shape, so a line
  // with blanks never matches. Checksums that strip the web-mail footer are
  // compared with those of other installations, which read it the same way.
  for (const int entry : ReceivedIndexesLocked())
    if (IsWebmailRelayHostName(TakeReceivedLocked(entry))) return true;
  return false;
}

// ---------------------------------------------------------------------------
// Mailing lists

std::unique_ptr<TMailingList> TEmailHeader::GetMailingList() {
  TCriticalSectionGuard guard(FLock);
  auto list = std::make_unique<TMailingList>();
  const std::pair<std::string_view, std::string*> fields[] = {
      {"List-Software", &list->List_Software},
      {"List-Digest", &list->List_Digest},
      {"List-Help", &list->List_Help},
      {"List-Subscribe", &list->List_Subscribe},
      {"List-Unsubscribe", &list->List_Unsubscribe},
      {"List-Post", &list->List_Post},
      {"List-Owner", &list->List_Owner},
      {"List-Archive", &list->List_Archive},
      {"List-ID", &list->List_ID},
      {"Mailing-List", &list->Mailing_List},
      {"Precedence", &list->Precedence},
      {"Errors-To", &list->Errors_To},
      {"X-BeenThere", &list->X_BeenThere},
      {"X-Return_Path", &list->X_Return_Path},
  };
  for (const auto& [name, field] : fields) GetValue(name, *field);
  GetSubject(list->FLastSubject);
  return list;
}

bool TEmailHeader::IsKnownMailingList() {
  TCriticalSectionGuard guard(FLock);
  const std::unique_ptr<TMailingList> fingerprint = GetMailingList();
  return LooksLikeMailingList(*fingerprint);
}

}  // namespace halvorn
