// How the mail store has the accounts file written when a UIDL state that
// must survive a crash has changed: the download thread after a connection
// that changed a state, the local POP3 server at QUIT before the deleted
// messages' files go.
//
// The window installs the saver (it knows the file, the current user and
// whether the file is enciphered) and calls the accounts file's one writer,
// SaveAccountsFile (accounts_file.h), which serialises concurrent saves.
#pragma once

#include <functional>
#include <string>

namespace halvorn {

// Writes the accounts now; answers an error text, empty on success. Must be
// safe from any thread and must take no lock its caller could hold.
using TAccountsSaver = std::function<std::string()>;

// Installs the saver (an empty one: none). Any thread.
void SetAccountsSaver(TAccountsSaver saver);

// Runs the installed saver; without one nothing is written and the answer is
// empty. Call it holding no account, collection, repository, queue or message
// lock. Any thread.
std::string SaveAccountsNow();

}  // namespace halvorn
