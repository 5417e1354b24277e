#include "message/mailing_list.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "foundation/crypto/random_source.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"

namespace halvorn {

namespace {

using TAnswer = std::function<bool(TMailingList&)>;

std::mutex& AnswerMutex() {
  static std::mutex mutex;
  return mutex;
}

// Held as a shared pointer so that a question runs on its own copy, outside
// the mutex, while the answer is being replaced.
std::shared_ptr<const TAnswer>& Answer() {
  static std::shared_ptr<const TAnswer> answer;
  return answer;
}

}  // namespace

const TMailingListHeaderField kMailingListHeaderFields[15] = {
    {"List_Software", &TMailingListFields::List_Software},
    {"List_Digest", &TMailingListFields::List_Digest},
    {"List_Help", &TMailingListFields::List_Help},
    {"List_Subscribe", &TMailingListFields::List_Subscribe},
    {"List_Unsubscribe", &TMailingListFields::List_Unsubscribe},
    {"List_Post", &TMailingListFields::List_Post},
    {"List_Owner", &TMailingListFields::List_Owner},
    {"List_Archive", &TMailingListFields::List_Archive},
    {"List_ID", &TMailingListFields::List_ID},
    {"Mailing_List", &TMailingListFields::Mailing_List},
    {"Precedence", &TMailingListFields::Precedence},
    {"Errors_To", &TMailingListFields::Errors_To},
    {"X_BeenThere", &TMailingListFields::X_BeenThere},
    {"X_Return_Path", &TMailingListFields::X_Return_Path},
    {"Sender", &TMailingListFields::Sender},
};

namespace {

// What a differing header field takes off the score of 80; the weights add
// up to 80, so the score never falls below 0. The list id is compared apart.
struct TScoredField {
  std::string TMailingListFields::*Field;
  int Weight;
};
constexpr TScoredField kScoredFields[] = {
    {&TMailingListFields::List_Post, 15},     {&TMailingListFields::X_BeenThere, 15},
    {&TMailingListFields::List_Subscribe, 10}, {&TMailingListFields::List_Unsubscribe, 9},
    {&TMailingListFields::Sender, 5},         {&TMailingListFields::X_Return_Path, 5},
    {&TMailingListFields::Mailing_List, 4},   {&TMailingListFields::List_Digest, 4},
    {&TMailingListFields::Errors_To, 4},      {&TMailingListFields::List_Help, 3},
    {&TMailingListFields::List_Archive, 3},   {&TMailingListFields::List_Software, 1},
    {&TMailingListFields::List_Owner, 1},     {&TMailingListFields::Precedence, 1},
};
constexpr int kBaseScore = 80;
constexpr int kSameListScore = 100;
// The shortest subject piece or shared field text worth keeping.
constexpr int kMinSharedText = 4;

constexpr std::uint32_t kHighestUniqueId = 2147483646;

// The text between the first `open` and the next `close` after it; false
// when either is missing.
bool Between(std::string_view text, std::string_view open, char close, std::string_view& piece) {
  const std::size_t from = text.find(open);
  if (from == std::string_view::npos) return false;
  const std::size_t start = from + open.size();
  const std::size_t to = text.find(close, start);
  if (to == std::string_view::npos) return false;
  piece = text.substr(start, to - start);
  return true;
}

std::string_view ListIdOf(std::string_view listId) {
  std::string_view piece;
  if (!Between(listId, "<", '>', piece)) piece = listId;
  return TrimTextView(piece);
}

// The text after "mailto:" (any case) up to the next ">".
std::string MailtoAddress(std::string_view field) {
  const int at = FindTextCIFrom(field, "mailto:", 1);
  if (at == 0) return {};
  const std::string_view rest = field.substr(static_cast<std::size_t>(at - 1) + 7);
  const std::size_t to = rest.find('>');
  if (to == std::string_view::npos) return {};
  return std::string(rest.substr(0, to));
}

// The List-Unsubscribe entry that begins with the letter, in either case.
std::string UnsubscribeEntry(std::string_view field, char lower, char upper) {
  for (const char letter : {lower, upper}) {
    std::string_view piece;
    const char open[] = {'<', letter};
    if (Between(field, std::string_view(open, 2), '>', piece))
      return TrimText(std::string(1, letter) + std::string(piece));
  }
  return {};
}

}  // namespace

TMailingList::TMailingList() {
  UniqueId = static_cast<std::uint32_t>(RandomRange(1, kHighestUniqueId));
}

TTrite TMailingList::Subscribed() const {
  TCriticalSectionGuard guard(FLock);
  return FSubscribed;
}

void TMailingList::SetSubscribed(TTrite value) {
  TCriticalSectionGuard guard(FLock);
  FSubscribed = value;
}

bool TMailingList::IsEmptyLocked() const {
  for (const TMailingListHeaderField& field : kMailingListHeaderFields)
    if (!(this->*field.Field).empty()) return false;
  return true;
}

bool TMailingList::IsEmpty() const {
  TCriticalSectionGuard guard(FLock);
  return IsEmptyLocked();
}

std::string TMailingList::GetListIdLocked() const {
  return std::string(ListIdOf(List_ID));
}

std::string TMailingList::GetListId() const {
  TCriticalSectionGuard guard(FLock);
  return GetListIdLocked();
}

std::string TMailingList::GetSenderNameLocked() const {
  std::string_view piece;
  return Between(Sender, "\"", '"', piece) ? TrimText(piece) : std::string();
}

std::string TMailingList::GetSenderName() const {
  TCriticalSectionGuard guard(FLock);
  return GetSenderNameLocked();
}

std::string TMailingList::GetSenderAddressLocked() const {
  std::string_view piece;
  return Between(Sender, "<", '>', piece) ? TrimText(piece) : std::string();
}

std::string TMailingList::GetSenderAddress() const {
  TCriticalSectionGuard guard(FLock);
  return GetSenderAddressLocked();
}

std::string TMailingList::GetPostAddress() const {
  TCriticalSectionGuard guard(FLock);
  return MailtoAddress(List_Post);
}

std::string TMailingList::GetSubscribeAddress() const {
  TCriticalSectionGuard guard(FLock);
  std::string address = MailtoAddress(List_Subscribe);
  const std::size_t query = address.find('?');
  if (query != std::string::npos) address.resize(query);
  return address;
}

std::string TMailingList::GetUnsubscribeUrl() const {
  TCriticalSectionGuard guard(FLock);
  return UnsubscribeEntry(List_Unsubscribe, 'h', 'H');
}

std::string TMailingList::GetUnsubscribeMailto() const {
  TCriticalSectionGuard guard(FLock);
  return UnsubscribeEntry(List_Unsubscribe, 'm', 'M');
}

std::string TMailingList::GetDisplayName() const {
  TCriticalSectionGuard guard(FLock);
  if (!UserSuppliedName.empty()) return UserSuppliedName;
  std::string name = GetListIdLocked();
  if (name.empty()) name = X_BeenThere;
  if (name.empty()) name = GetSenderNameLocked();
  if (name.empty()) name = GetSenderAddressLocked();
  if (name.empty()) {
    TStringList fields;
    for (const TMailingListHeaderField& field : kMailingListHeaderFields)
      if (field.Field != &TMailingListFields::Precedence) fields.Add(this->*field.Field);
    CommonSubstringsOfList(fields, kMinSharedText, false, name);
  }
  return name.empty() ? std::string(kUnnamedMailingList) : name;
}

std::string TMailingList::GetDescription() const {
  TCriticalSectionGuard guard(FLock);
  if (!UserSuppliedDiscription.empty()) return UserSuppliedDiscription;
  const std::size_t open = List_ID.find('<');
  if (open == std::string::npos) return GetSenderNameLocked();
  std::string text = List_ID.substr(0, open);
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return TrimText(text);
}

int TMailingList::MatchScore(const TMailingList& other) const {
  TCriticalSectionGuard guard(FLock);
  const std::string_view id = ListIdOf(List_ID);
  if (!id.empty() && SameText1252(id, ListIdOf(other.List_ID))) return kSameListScore;
  int score = kBaseScore;
  for (const TScoredField& field : kScoredFields)
    if (!SameText1252(this->*field.Field, other.*field.Field)) score -= field.Weight;
  return score;
}

void TMailingList::Assign(const TMailingList& other) {
  if (&other == this) return;
  TMailingListFields fields;
  TTrite subscribed;
  {
    TCriticalSectionGuard guard(other.FLock);
    fields = other;
    subscribed = other.FSubscribed;
  }
  TCriticalSectionGuard guard(FLock);
  static_cast<TMailingListFields&>(*this) = std::move(fields);
  FSubscribed = subscribed;
}

void TMailingList::MergeFrom(const TMailingList& fingerprint) {
  TCriticalSectionGuard guard(FLock);
  const std::string& subject = fingerprint.FLastSubject;
  for (const TMailingListHeaderField& field : kMailingListHeaderFields) {
    // A message's fingerprint never carries a Sender: the one the user
    // typed in stays, with the display name and the approved addresses the
    // processing draws from it.
    if (field.Field == &TMailingListFields::Sender && fingerprint.Sender.empty()) continue;
    this->*field.Field = fingerprint.*field.Field;
  }
  if (SubjectLineSubstring.empty() || subject.find(SubjectLineSubstring) == std::string::npos) {
    // Reply and forward markers ("Re:", "Fw:") are left out: every list's
    // replies share them, and a list that learnt "Re: " would claim the
    // replies of every other list.
    std::string newSubject = subject;
    std::string lastSubject = FLastSubject;
    StripShortPrefixes(newSubject);
    StripShortPrefixes(lastSubject);
    std::string shared;
    LongestCommonSubstring(newSubject, lastSubject, kMinSharedText, shared, false);
    SubjectLineSubstring = std::move(shared);
  }
  FLastSubject = subject;
  if (MsgCount < std::numeric_limits<std::int32_t>::max()) ++MsgCount;
}

std::string TMailingList::ToCommaText() const {
  TCriticalSectionGuard guard(FLock);
  TStringList items;
  for (const TMailingListHeaderField& field : kMailingListHeaderFields)
    items.Add(std::string(field.Key) + "=" + this->*field.Field);
  items.Add("SubjectLineSubstring=" + SubjectLineSubstring);
  items.Add("UserSuppliedName=" + UserSuppliedName);
  items.Add("UserSuppliedDiscription=" + UserSuppliedDiscription);
  items.Add("MsgCount=" + std::to_string(MsgCount));
  items.Add("UniqueId=" + std::to_string(UniqueId));
  items.Add(std::string("Subscribed=") + TriteToChar(FSubscribed));
  return items.CommaText();
}

void TMailingList::FromCommaText(const std::string& text) {
  TStringList items;
  items.SetCommaText(text);
  TCriticalSectionGuard guard(FLock);
  for (const TMailingListHeaderField& field : kMailingListHeaderFields)
    this->*field.Field = items.Values(field.Key);
  SubjectLineSubstring = items.Values("SubjectLineSubstring");
  UserSuppliedName = items.Values("UserSuppliedName");
  UserSuppliedDiscription = items.Values("UserSuppliedDiscription");
  MsgCount = StrToIntDef(items.Values("MsgCount"), 0);
  std::int64_t id = 0;
  if (ParseTrimmedDecimal(items.Values("UniqueId"), 1, kHighestUniqueId, id))
    UniqueId = static_cast<std::uint32_t>(id);
  FSubscribed = TextToTrite(items.Values("Subscribed"));
}

bool DefaultLooksLikeMailingList(TMailingList& fingerprint) {
  TCriticalSectionGuard guard(fingerprint.FLock);
  if (fingerprint.IsEmptyLocked()) return false;
  for (const std::string* field :
       {&fingerprint.List_Software, &fingerprint.List_Digest, &fingerprint.List_Help,
        &fingerprint.List_Subscribe, &fingerprint.List_Unsubscribe, &fingerprint.List_Post,
        &fingerprint.List_Owner, &fingerprint.List_Archive, &fingerprint.List_ID,
        &fingerprint.Mailing_List})
    if (!field->empty()) return true;
  return LowerCase1252(fingerprint.Precedence) == "list";
}

bool LooksLikeMailingList(TMailingList& fingerprint) {
  std::shared_ptr<const TAnswer> answer;
  {
    std::lock_guard<std::mutex> lock(AnswerMutex());
    answer = Answer();
  }
  return answer ? (*answer)(fingerprint) : DefaultLooksLikeMailingList(fingerprint);
}

void SetLooksLikeMailingList(std::function<bool(TMailingList&)> answer) {
  std::shared_ptr<const TAnswer> installed;
  if (answer) installed = std::make_shared<const TAnswer>(std::move(answer));
  std::lock_guard<std::mutex> lock(AnswerMutex());
  Answer() = std::move(installed);
}

}  // namespace halvorn
