// The mailing-list fingerprint of a message: the list headers that list
// servers put into their mail, as the message header fills them
// (TEmailHeader::GetMailingList), and the question whether a fingerprint
// looks like mailing-list mail.
//
// The table of known lists, their matching, merging and storage belong to
// the lists subsystem, which links after the message model. It takes this
// class over as its list record and answers LooksLikeMailingList through
// the seam below once it has started.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/text/trite_array.h"
#include "foundation/threads/mutex_critical_section.h"

namespace halvorn {

// One fingerprint or known list. Its fields are plain data: a fingerprint
// built for one message belongs to its builder; a list shared between
// threads is read and changed under Lock().
class TMailingList {
 public:
  // Empty: every text empty, MsgCount 0, Subscribed unknown and a random
  // UniqueId from 0 to 2147483646.
  TMailingList();
  TMailingList(const TMailingList&) = delete;
  TMailingList& operator=(const TMailingList&) = delete;

  // Whether the user wants the list's mail: kTriteYes, kTriteNo or
  // kTriteUnknown.
  TTrite Subscribed = kTriteUnknown;

  // The header fields, in their stored order, each from the header of the
  // same name with "-" for "_" ("X_Return_Path" from "X-Return_Path").
  std::string List_Software;
  std::string List_Digest;
  std::string List_Help;
  std::string List_Subscribe;
  std::string List_Unsubscribe;
  std::string List_Post;
  std::string List_Owner;
  std::string List_Archive;
  std::string List_ID;
  std::string Mailing_List;
  std::string Precedence;
  std::string Errors_To;
  std::string X_BeenThere;
  std::string X_Return_Path;
  std::string Sender;  // never filled from a header

  std::string SubjectLineSubstring;
  std::string UserSuppliedName;
  std::string UserSuppliedDiscription;
  std::string FLastSubject;  // the subject of the fingerprint's message
  std::int32_t MsgCount = 0;
  std::uint32_t UniqueId = 0;

  // All 15 header fields are empty. Takes the lock.
  bool IsEmpty();

  // The list's lock, "TMailingList".
  TMutexCriticalSection& Lock() { return FLock; }

 private:
  bool IsEmptyLocked() const;
  friend bool DefaultLooksLikeMailingList(TMailingList& fingerprint);

  TMutexCriticalSection FLock{"TMailingList"};
};

// Whether the fingerprint looks like mailing-list mail; it is neither kept
// nor freed. Until the lists subsystem installs its answer this applies the
// field rules with no known lists (DefaultLooksLikeMailingList). Safe from
// any thread; the fingerprint's lock is taken while its fields are read.
bool LooksLikeMailingList(TMailingList& fingerprint);

// The field rules: false when all header fields are empty; true when any of
// List_Software to Mailing_List is set; otherwise true when Precedence,
// lower-cased, is exactly "list". The lists subsystem adds its known lists
// after these rules.
bool DefaultLooksLikeMailingList(TMailingList& fingerprint);

// Installs the lists subsystem's answer, called by its start-up; an empty
// function goes back to DefaultLooksLikeMailingList. Safe from any thread;
// a question already being answered finishes with the old function.
void SetLooksLikeMailingList(std::function<bool(TMailingList&)> answer);

}  // namespace halvorn
