// Local and remote accounts.
//
// A local account (TLocalAccount) is the account the user's mail reader logs
// into at the local POP3 server and sends through at the local ESMTP server;
// it holds the user's outgoing SMTP settings and owns the remote accounts
// behind it. A remote account (TRemoteAccount) is one real POP3 or web-mail
// mailbox: its login, its server hosts, its port or web-mail options, and the
// states of its messages by UIDL. One global TLocalAccounts holds the local
// accounts (GlobalLocalAccounts); the accounts file stores them all
// (accounts_file.h).
//
// Ownership. Accounts are held by shared_ptr. A collection keeps one
// reference to each of its accounts; taking an account out of its collection
// (a merge, a deletion, a reload) drops only that reference, so a thread that
// still holds the account (the download thread working on it, a POP3 session
// tied to it) keeps a valid object and may go on using it.
//
// Locks. Every account and collection has a TMutexCriticalSection:
// "LocalAccCollection_CS" (the global collection), "LocalAccount_CS",
// "RAccountCollection_CS", "RemoteAccount_CS". They are taken only in this
// order: the global collection, a local account, its remote-account
// collection, a remote account; and they come after every repository, queue
// and message lock. No collection lock is ever taken while an account lock is
// held, and no DNS look-up runs while any of them is held: an operation that
// needs both copies what it needs, lets go, looks up, and takes the lock again
// to apply the answer to the entries by text and number (never by index, since
// the list may have changed meanwhile).
//
// Fields. Texts and lists are read and written through the methods below,
// under the account's lock. The run-time flags and counters that the
// transport sets and reads from several threads are atomics, public under the
// names the transport uses; none of them is stored except where said.
//
// Changes the user sees post WM_REFRESH_ACCOUNTS to the main window; a merge
// posts WM_CANCEL_DOWNLOAD.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/date_time.h"
#include "message/account_hosts.h"
#include "message/uidl_states.h"

namespace halvorn {

class TLocalAccount;
class TRemoteAccount;
class TRemoteAccounts;

using TLocalAccountRef = std::shared_ptr<TLocalAccount>;
using TRemoteAccountRef = std::shared_ptr<TRemoteAccount>;
using TRemoteAccountList = std::vector<TRemoteAccountRef>;

// The number of account and collection locks the calling thread holds now.
// Code that must not run under them (DNS, the repository) can check it.
int AccountLocksHeldByThisThread();

// The base of both kinds of account: the login and the unique id.
class TAccount {
 public:
  virtual ~TAccount() = default;
  TAccount(const TAccount&) = delete;
  TAccount& operator=(const TAccount&) = delete;

  // Eight random letters and digits given at creation, or the id read from
  // the accounts file; names the account's section there and identifies the
  // account in links, side records and forms.
  std::string UniqueId() const;
  void SetUniqueId(const std::string& id);
  std::string UserId() const;
  // When the id differs from the current one (case counts): stores it and
  // posts WM_REFRESH_ACCOUNTS. The same id changes and posts nothing.
  virtual void SetUserId(const std::string& userId);
  // The password, plain in memory.
  std::string Password() const;
  void SetPassword(const std::string& password);

  // Reads the account's section (named by UniqueId): a heartbeat; the user
  // id through the virtual SetUserId; the password from "PassWordMD5"
  // (unscrambled), else from a plain "PassWord". True when the user id is not
  // empty.
  virtual bool Load(TQuorIniFile& ini);
  // Writes "UserId", removes "PassWord", writes "PassWordMD5". Always true.
  virtual bool Save(TQuorIniFile& ini);

 protected:
  // The lock's name, and the UniqueId (RandomPrintable(8) when empty).
  TAccount(const char* lockName, const std::string& uniqueId);

  // The account's lock: every read and change of the account holds it.
  mutable TMutexCriticalSection FLock;
  std::string FUserId;
  std::string FPassword;
  std::string FUniqueId;
};

// One real POP3 or web-mail mailbox.
class TRemoteAccount : public TAccount {
 public:
  // A new account with that UniqueId (RandomPrintable(8) when empty; the
  // collections draw ids unique among all accounts), Port 110, processing
  // on, NewThisRun true.
  explicit TRemoteAccount(const std::string& uniqueId = {});

  // --- Run-time fields (never stored unless said) ---
  // The POP3 port; for a web-mail account its option bits (1 download unread
  // mail only, 2 mark downloaded mail read). Stored as "Port".
  std::atomic<std::int32_t> Port{110};
  // The account's mail is processed; off makes the POP3 server relay it
  // unchanged. Stored.
  std::atomic<bool> ProcessUsingQuor{true};
  // Created automatically from an intercepted login. Stored.
  std::atomic<bool> AutoGenerated{false};
  // A connection to the account was intercepted in this run; stored under the
  // key "InterceptedLastRun".
  std::atomic<bool> InterceptedThisRun{false};
  // Read from "InterceptedLastRun": such a connection was intercepted in the
  // previous run.
  std::atomic<bool> InterceptedLastRun{false};
  // The download thread took the account in its current selection cycle;
  // false on creation and after loading. The message model's CheckedThisRun
  // is this field: one flag, under the transport's name.
  std::atomic<bool> SelectedThisCycle{false};
  // A mail reader waits for new mail of this account.
  std::atomic<bool> ReaderWaiting{false};
  // The account was created in this run and its login is not yet confirmed
  // by a download: true on creation, false after loading; the POP3 server
  // clears it when a login finds the account. The message model's
  // LoginConfirmed is this field (same start and load values): one flag,
  // under the transport's name.
  std::atomic<bool> NewThisRun{true};
  // Consecutive failed logins (download and web-mail code).
  std::atomic<std::int32_t> LoginFailures{0};

  // --- Texts ---
  std::string EmailAddress() const;
  void SetEmailAddress(const std::string& address);

  // The first local account of the global collection (whatever collection
  // holds this one); null when there is none.
  TLocalAccountRef GetLocalAccount() const;
  // The mailbox address: user id + "@" + the service's mail domain for a
  // web-mail account; else EmailAddress when set; else user id + "@" +
  // GetHostText(false).
  std::string GetEmailAddress() const;

  // --- Web-mail ---
  // The first host entry is exactly "Hotmail" (IsHotmail) or "msn" (IsMsn).
  bool IsHotmail() const;
  bool IsMsn() const;
  bool IsWebmail() const;
  // Sets or clears the option bits in Port; HasOption: any of the bits is set.
  void SetOption(std::int32_t bits, bool on);
  bool HasOption(std::int32_t bits) const;

  // --- UIDL states (uidl_states.h) ---
  // Records the state (us_NonExistant forgets the UIDL); answers as
  // TUidlStates::Set.
  int SetUidlStatus(const std::string& uidl, TUidlStatus state);
  TUidlStatus GetUidlStatus(const std::string& uidl) const;
  int UidlCount() const;
  // Forgets every UIDL the server list does not hold and appends each to
  // `removed` (last to first); logs them for the user when there are any.
  void CullUidls(const TStringList& serverList, TStringList& removed);
  // Every recorded UIDL with its state, in order (a copy).
  std::vector<std::pair<std::string, TUidlStatus>> Uidls() const;

  // --- Hosts (account_hosts.cpp) ---
  // A copy of the host list.
  std::vector<THostEntry> Hosts() const;
  // Keeps the list: dotted entries take their own numbers; addresses get the
  // one mail-server name a reverse look-up finds; names get their addresses;
  // repeats go; an entry without an address goes only when its name was
  // answered with no IPv4 address, or another entry of that name has one
  // (never the first entry of a user-made account, never the last entry);
  // a dotted entry that a name of the same address covers goes. Web-mail
  // accounts are left alone. DNS runs with no lock held.
  void RefreshHosts();
  // An empty name does nothing. Otherwise the list becomes this one entry
  // (one entry per line of a name holding line breaks), then RefreshHosts
  // when `refresh` is asked and the account is not a web-mail account.
  void SetHost(const std::string& name, bool refresh);
  // An empty name does nothing; a web-mail account gets SetHost(name, true).
  // Otherwise, unless an entry has exactly this text (case counts), the name
  // is inserted at position 0 for an automatically created account and at 1
  // for a user-made one (appended when the list is shorter), then
  // RefreshHosts.
  void AddHost(const std::string& name);
  // False for an empty name; else RefreshHosts, then whether an entry equals
  // the name ignoring case.
  bool HasHost(const std::string& name);
  // RefreshHosts; then the text of the last entry whose number is the
  // address; empty when none or when the text is no address.
  std::string FindHostByIP(const std::string& addressText);
  // The index of the first entry whose text equals the name ignoring case and
  // whose number is the address; -1 when none.
  int IndexOfHostIP(const std::string& name, std::uint32_t address) const;
  // The address to connect to, as dotted text: entries tried from the first;
  // a pseudo-host answers empty; a dotted address answers itself; a name is
  // resolved (5000 ms) and a new address recorded beside it (position 0 for
  // a user-made account, 1 for an automatic one), else its known number
  // answers. Empty when every entry fails.
  std::string GetHostIP();
  // The host name to show: "Hotmail" or "msn" for web-mail accounts;
  // otherwise the last entry that is a name, or the first entry's address
  // when all are addresses. With `resolve`, a dotted entry walked over is
  // first named by an account's server of that address
  // (TLocalAccounts::GetHostNameForIP), else by its reverse look-up, whose
  // mail-server names are added (AddHost). Never call it holding an account
  // or collection lock when `resolve` is set.
  std::string GetHostText(bool resolve);
  // Moves the entry that matches the address (for a valid EmailAddress, one
  // whose text holds its domain first) to position 1 of a user-made account
  // or 0 of an automatic one; true when an entry matched. No DNS.
  bool MoveMatchingHost(std::uint32_t address);

  // --- Merging ---
  // Absorbs `other` (a different account, by pointer and UniqueId, of the
  // same user id ignoring case and, with `checkPassword`, the same password):
  // takes the UIDL states it does not know, turns processing off when the
  // other's is off, appends the other's hosts and keeps the list, takes the
  // other out of its collection, resets `other`, posts WM_CANCEL_DOWNLOAD and
  // answers true. Otherwise false and nothing changes. The other account
  // stays valid for whoever else holds it. Call it with no account or
  // collection lock held.
  bool MergeDuplicate(TRemoteAccountRef& other, bool checkPassword);

  // --- Forms (account_pages.cpp) ---
  // The change form of a POP3 account, followed by its delete form when a
  // local account owns it. Values are HTML-escaped. No lock may be held.
  std::string PopInfoForm();
  // The change form of a web-mail account (user id and password), followed
  // by its delete form when a local account owns it.
  std::string WebmailInfoForm();

  // Writes lines naming the first twelve UIDLs and every host to the log
  // (detail 1).
  void DumpToLog() const;

  bool Load(TQuorIniFile& ini) override;
  bool Save(TQuorIniFile& ini) override;

  // The collection holding the account; null once it was taken out.
  std::shared_ptr<TRemoteAccounts> Collection() const;

 private:
  friend class TRemoteAccounts;

  bool IsWebmailLocked() const;
  std::string HostTextLocked() const;
  // The change form (with server and port for a POP3 account) and the delete
  // form of an owned account.
  std::string InfoForm(const char* command, const char* method, bool withServer);
  void GiveDottedEntriesNumbersLocked();

  std::string FEmailAddress;
  std::vector<THostEntry> FHosts;
  TUidlStates FUidls;
  std::uint32_t FLastReverseAddress = 0;
  TDateTime FLastReverseTime = 0;
  std::weak_ptr<TRemoteAccounts> FCollection;
};

// The remote accounts of one local account. Every operation holds the
// collection's lock ("RAccountCollection_CS").
class TRemoteAccounts : public std::enable_shared_from_this<TRemoteAccounts> {
 public:
  TRemoteAccounts();
  TRemoteAccounts(const TRemoteAccounts&) = delete;
  TRemoteAccounts& operator=(const TRemoteAccounts&) = delete;

  // A new account at the end. Without a `uniqueId`, one is drawn that no
  // account of the global collection (nor of this one) has, ignoring case:
  // the accounts file's section names ignore case. Hold no account lock.
  TRemoteAccountRef Add(const std::string& uniqueId = {});
  int Count() const;
  // The account at the index; null outside the list.
  TRemoteAccountRef Items(int index) const;
  int IndexOf(const TRemoteAccount* account) const;
  // Takes the account out of the collection (a deletion); false when it is
  // not in it. Hold no account lock.
  bool Remove(const TRemoteAccount* account);
  void Clear();
  // A copy of the list, for walks that must not hold the lock.
  TRemoteAccountList Snapshot() const;

  // The first account whose user id equals the id ignoring case.
  TRemoteAccountRef FindByUserId(const std::string& userId) const;
  // The last account whose UniqueId equals the id exactly; null for "".
  TRemoteAccountRef FindById(const std::string& uniqueId) const;
  // The account behind a login. An empty user id or password matches any; a
  // user id matches ignoring case, a password exactly. Without an address
  // text the first match answers; with one, each match keeps its hosts
  // (RefreshHosts) and answers when an entry has that address, which then
  // moves to the front (MoveMatchingHost). Two rounds; null when none.
  // Looks up DNS with no lock held; call it holding none.
  TRemoteAccountRef FindAccount(const std::string& userId, const std::string& password,
                                const std::string& addressText);
  // Another account of the collection that has a record of the UIDL,
  // searched from the last; null when none.
  TRemoteAccountRef CheckForDupUidl(const TRemoteAccount* account, const std::string& uidl) const;

  // The unique ids in order (the "RemoteAccounts" comma text).
  TStringList UniqueIds() const;
  void DumpToLog() const;
  // Posts WM_REFRESH_ACCOUNTS, then makes this collection a copy of `other`:
  // accounts of the same UniqueIds with every stored field (what the
  // accounts file keeps of them). Run-time marks start afresh. Hold no
  // account lock.
  void Assign(const TRemoteAccounts& other);
  // The collection's name for developer dumps: "TRemoteAccounts".
  std::string GetNamePath() const;

 private:
  mutable TMutexCriticalSection FLock;
  std::vector<TRemoteAccountRef> FItems;
};

// The hook through which a local account's new user id reaches the user's
// message repository (GetMessageRepository(old id), then its RenameUser(new
// id); the answer is ignored). Installed by the repository; without one a
// rename only changes the account. Called with no account lock held.
using TRenameUserRepository =
    std::function<void(const std::string& oldUserId, const std::string& newUserId)>;
void SetRenameUserRepository(TRenameUserRepository rename);

// The account the mail reader logs into, with the user's SMTP settings and
// remote accounts.
class TLocalAccount : public TAccount {
 public:
  // A new account with that UniqueId (RandomPrintable(8) when empty).
  explicit TLocalAccount(const std::string& uniqueId = {});

  std::atomic<bool> Enabled{true};  // stored
  std::atomic<std::int32_t> SMTPPort{25};  // stored
  // Wrong POP3 / SMTP passwords given for the account (not stored).
  std::atomic<std::int32_t> BadPopPasswordCount{0};
  std::atomic<std::int32_t> BadSmtpPasswordCount{0};
  // The SMTP server's address, learned by the send thread when the server is
  // given as a dotted address (0: unknown; not stored).
  std::atomic<std::uint32_t> SmtpServerAddress{0};
  std::atomic<bool> SmtpServerConnected{false};

  std::string SMTPServer() const;
  void SetSMTPServer(const std::string& server);
  std::string SMTPUserId() const;
  void SetSMTPUserId(const std::string& userId);
  std::string SMTPPassword() const;
  void SetSMTPPassword(const std::string& password);

  // The remote accounts behind this account; owned.
  const std::shared_ptr<TRemoteAccounts> RemoteAccounts;

  // When the id differs (case counts): posts WM_REFRESH_ACCOUNTS; an empty id
  // then changes nothing; otherwise the id is stored and, when the account
  // had one, the repository takes the new id (SetRenameUserRepository) after
  // the account's lock is let go.
  void SetUserId(const std::string& userId) override;

  // RemoteAccounts->FindById under the account's lock.
  TRemoteAccountRef FindRemoteAccountById(const std::string& uniqueId) const;
  // Appends the remote accounts from the last to the first.
  void CollectRemoteAccounts(TRemoteAccountList& list) const;
  // The change form of the SMTP settings (escaped values).
  std::string SmtpInfoForm() const;
  void DumpToLog() const;

  // Also reads "Enabled", the SMTP settings and the remote accounts named by
  // "RemoteAccounts" (each added with its id and loaded); resets the
  // run-time counts.
  bool Load(TQuorIniFile& ini) override;
  bool Save(TQuorIniFile& ini) override;

 private:
  std::string FSMTPServer;
  std::string FSMTPUserId;
  std::string FSMTPPassword;
};

// The local accounts. Every operation holds the collection's lock
// ("LocalAccCollection_CS"), except where it says it lets go for DNS.
class TLocalAccounts {
 public:
  TLocalAccounts();
  TLocalAccounts(const TLocalAccounts&) = delete;
  TLocalAccounts& operator=(const TLocalAccounts&) = delete;

  // Posts WM_REFRESH_ACCOUNTS; a new account at the end (a fresh id unique
  // ignoring case when `uniqueId` is empty).
  TLocalAccountRef Add(const std::string& uniqueId = {});
  // Posts WM_REFRESH_ACCOUNTS; takes every account out.
  void Clear();
  int Count() const;
  // The account at the index; null outside the list.
  TLocalAccountRef Items(int index) const;
  int IndexOf(const TLocalAccount* account) const;
  std::vector<TLocalAccountRef> Snapshot() const;

  TLocalAccountRef GetFirstAccount() const;
  // The program serves one user: the first local account whatever the id.
  TLocalAccountRef FindByUserId(const std::string& userId) const;
  // The first local account with a remote account of that user id (ignoring
  // case).
  TLocalAccountRef FindByRemoteUserId(const std::string& userId) const;
  // The remote account with that UniqueId, local accounts searched from the
  // last; null for "".
  TRemoteAccountRef FindRemoteAccountById(const std::string& uniqueId) const;
  // TRemoteAccounts::FindAccount of each local account from the last; the
  // first found. Holds no lock while it looks up DNS.
  TRemoteAccountRef FindRemoteAccount(const std::string& userId, const std::string& password,
                                      const std::string& addressText);
  // The local account whose remote accounts hold the account; null when none.
  TLocalAccountRef FindOwner(const TRemoteAccount* account) const;
  // Appends every remote account: local accounts from the last, each with
  // its remote accounts from the last.
  void CollectRemoteAccounts(TRemoteAccountList& list) const;
  // The host name an address stands for: a local account's SMTP server name
  // whose learned address it is, else the first remote host entry that is a
  // name with that address; the address text itself when none. No DNS.
  std::string GetHostNameForIP(const std::string& addressText) const;
  // Some account of the collection (local or remote) has the id, ignoring
  // case.
  bool HasUniqueId(const std::string& uniqueId) const;

  // Writes "LocalAccounts" / "UniqueIds" and every account's section, under
  // the collection's lock. Always true. Callers that write the file use
  // SaveAccountsFile (accounts_file.h).
  bool Save(TQuorIniFile& ini) const;
  // Clears the collection and loads the accounts "LocalAccounts" /
  // "UniqueIds" names. True when every local account has a user id (a
  // missing one still loads the rest).
  bool Load(TQuorIniFile& ini);
  void DumpToLog() const;
  // Posts WM_REFRESH_ACCOUNTS, then makes this collection a copy of `other`
  // as the accounts file would carry it (Save to a settings text, then
  // Load). Hold no account lock.
  void Assign(const TLocalAccounts& other);
  // The collection's name for developer dumps: "TLocalAccounts".
  std::string GetNamePath() const;

 private:
  mutable TMutexCriticalSection FLock;
  std::vector<TLocalAccountRef> FItems;
};

// The program's one collection of local accounts, made on first use.
TLocalAccounts& GlobalLocalAccounts();
// Module start-up and end: both empty the global collection.
void StartAccountsModule();
void EndAccountsModule();

// A fresh UniqueId: RandomPrintable(8), drawn again while an account of the
// global collection has it ignoring case.
std::string NewAccountUniqueId();

}  // namespace halvorn
