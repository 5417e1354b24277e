// A mailing list as the program knows it: the fingerprint of the list
// headers that list servers put into their mail (TEmailHeader::GetMailingList
// fills one per message), and the operations on one list: its addresses and
// names, how alike two lists are, taking a new message in, and its stored
// form.
//
// The table of known lists (src/lists/mailing_lists.h) links after the
// message model. It answers LooksLikeMailingList through the seam below once
// it has started; the message model calls nothing of it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/text/trite_array.h"
#include "foundation/threads/mutex_critical_section.h"

namespace halvorn {

// The plain data of a fingerprint or known list, copied whole by
// TMailingList::Assign.
struct TMailingListFields {
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
  std::string Sender;  // never filled from a header: stored or typed in

  std::string SubjectLineSubstring;  // the text the list's subjects share
  std::string UserSuppliedName;
  std::string UserSuppliedDiscription;  // spelt as stored
  std::string FLastSubject;  // the subject of the latest message; not stored
  std::int32_t MsgCount = 0;
  // 1 .. 2147483646; 0 stands for "no list" wherever an id is kept (a
  // mailing-list test's UniqueListId, a side record's "MailListId").
  std::uint32_t UniqueId = 0;
};

// The 15 header fields in their stored order: the key of each in the stored
// comma text, and where it lives.
struct TMailingListHeaderField {
  const char* Key;
  std::string TMailingListFields::*Field;
};
extern const TMailingListHeaderField kMailingListHeaderFields[15];

// What a list looks like with no name of its own.
inline constexpr const char* kUnnamedMailingList = "Un-named Mailing List";

// One fingerprint or known list.
//
// A fingerprint built for one message belongs to its builder, who may use
// the fields directly. A list held by a table (TMailingListList) is shared
// between threads: its fields are read and changed under Lock(), which every
// operation below takes for itself (the lock is re-entrant, and a table's
// lock may be held while it is taken, never the other way round).
// Operations that read a second list (MatchScore, MergeFrom) read it without
// its lock: it must be a private fingerprint or a list of a table whose lock
// the caller holds.
class TMailingList : public TMailingListFields {
 public:
  // Empty: every text empty, MsgCount 0, Subscribed unknown and a random
  // UniqueId from 1 to 2147483646.
  TMailingList();
  TMailingList(const TMailingList&) = delete;
  TMailingList& operator=(const TMailingList&) = delete;

  // Whether the user wants the list's mail: kTriteYes, kTriteNo or
  // kTriteUnknown. The processing, the link server and the address-book
  // scan set it on different threads.
  TTrite Subscribed() const;
  void SetSubscribed(TTrite value);

  // All 15 header fields are empty.
  bool IsEmpty() const;

  // The text between "<" and ">" of List_ID, else the whole List_ID;
  // trimmed.
  std::string GetListId() const;
  // Sender's text between its first two double quotes / between "<" and
  // ">", trimmed; empty when it has none.
  std::string GetSenderName() const;
  std::string GetSenderAddress() const;
  // The text between "mailto:" (any case) and the next ">" of List_Post;
  // empty when there is none.
  std::string GetPostAddress() const;
  // The same of List_Subscribe, cut before its first "?".
  std::string GetSubscribeAddress() const;
  // The web entry of List_Unsubscribe: from an "<h" (else "<H") to the next
  // ">", without the "<", trimmed; empty when none.
  std::string GetUnsubscribeUrl() const;
  // The mail entry, the same with "<m" (else "<M").
  std::string GetUnsubscribeMailto() const;
  // The first non-empty of: UserSuppliedName, GetListId, X_BeenThere,
  // GetSenderName, GetSenderAddress, the text most pairs of the header
  // fields other than Precedence share (at least 4 characters, case
  // ignored); else "Un-named Mailing List".
  std::string GetDisplayName() const;
  // UserSuppliedDiscription; else, when List_ID has a "<", what stands
  // before it without double quotes, trimmed; else GetSenderName.
  std::string GetDescription() const;

  // How alike the two lists are, 0 to 100, case ignored: 100 for equal
  // non-empty list ids; otherwise 80 less the weight of every header field
  // that differs. Symmetric.
  int MatchScore(const TMailingList& other) const;

  // Makes this list a copy of the other (every field, Subscribed included).
  // The other's fields are copied under its lock first and then written
  // under this list's: the two locks are never held together.
  void Assign(const TMailingList& other);

  // Takes a new message's fingerprint in: the header fields follow the
  // fingerprint (except that a stored Sender stays when the fingerprint has
  // none, as a fingerprint never has one), the subject substring is found
  // anew when the new subject lacks it (the longest piece of at least 4
  // characters it shares with the last subject, reply and forward markers
  // left out of both), the last subject becomes the new one and MsgCount
  // rises by one.
  void MergeFrom(const TMailingList& fingerprint);

  // The stored form: a comma text of the name=value items "List_Software"
  // to "Sender", "SubjectLineSubstring", "UserSuppliedName",
  // "UserSuppliedDiscription", "MsgCount", "UniqueId" and "Subscribed"
  // ("y", "n" or "u"), every item written.
  std::string ToCommaText() const;
  // Reads the stored form: absent texts become empty, a MsgCount that is no
  // number 0, a UniqueId that is no number from 1 to 2147483646 stays as it
  // was, Subscribed "y" or "n" (any case) yes or no and anything else
  // unknown. FLastSubject is not stored and stays.
  void FromCommaText(const std::string& text);

  // The list's lock, "TMailingList".
  TMutexCriticalSection& Lock() const { return FLock; }

 private:
  bool IsEmptyLocked() const;
  std::string GetListIdLocked() const;
  std::string GetSenderNameLocked() const;
  std::string GetSenderAddressLocked() const;
  friend bool DefaultLooksLikeMailingList(TMailingList& fingerprint);

  TTrite FSubscribed = kTriteUnknown;
  mutable TMutexCriticalSection FLock{"TMailingList"};
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
