// The one writer of the accounts file ("QuorAccounts.txt", GetAccountsFilePath).
//
// Several threads save the accounts (the download thread after a connection
// that changed a UIDL state, the main thread at QUIT, the timed save and the
// shut-down), so every save goes through SaveAccountsFile. Saves are
// serialised by the save lock ("AccountsFileSave_CS"), taken before the
// global collection's lock and held until the file is renamed into place:
// the snapshot of the accounts and the write belong together, so a save that
// started later always writes a snapshot at least as new, and an older
// snapshot can never be renamed over a newer one. The collection's lock is
// held only while the snapshot is taken, never while the file is written.
#pragma once

#include <functional>
#include <string>

namespace halvorn {

// How long a save waits for the one before it, in milliseconds.
inline constexpr int kAccountsSaveLockTimeOut = 10000;

// Writes the global accounts (TLocalAccounts::Save) and "CurrentAccount" /
// "UserId" = `currentUserId` to `path`, in the enciphered form when
// `encrypted`, atomically (WriteFileAtomically): a failed save leaves the
// previous file as it was. A set with no account writes an empty file rather
// than deleting it. Returns an empty text on success, else the error (also
// logged). Safe from any thread; hold no account, collection, repository,
// queue or message lock when calling it.
std::string SaveAccountsFile(const std::string& path, const std::string& currentUserId,
                             bool encrypted);

// Test seam: called inside the save lock after the snapshot is taken and
// before the file is written. Empty: none.
void SetAccountsSaveHookForTests(std::function<void()> hook);

}  // namespace halvorn
