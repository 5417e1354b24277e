#include "message/mailing_list.h"

#include <memory>
#include <mutex>
#include <utility>

#include "foundation/text/code_page_1252.h"
#include "foundation/crypto/random_source.h"

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

TMailingList::TMailingList() : UniqueId(static_cast<std::uint32_t>(RandomRange(0, 2147483646))) {}

bool TMailingList::IsEmptyLocked() const {
  for (const std::string* field :
       {&List_Software, &List_Digest, &List_Help, &List_Subscribe, &List_Unsubscribe, &List_Post,
        &List_Owner, &List_Archive, &List_ID, &Mailing_List, &Precedence, &Errors_To, &X_BeenThere,
        &X_Return_Path, &Sender})
    if (!field->empty()) return false;
  return true;
}

bool TMailingList::IsEmpty() {
  TCriticalSectionGuard guard(FLock);
  return IsEmptyLocked();
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
