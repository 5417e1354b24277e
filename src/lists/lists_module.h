// Start and end of the lists subsystem.
//
// The main program calls InitializeListsModule after the utility module
// started and before the classification module (whose start installs the
// test list's rename handler on the phrase lists), and FinalizeListsModule
// after the classification module ended. Tests may call them again.
#pragma once

namespace halvorn {

// Creates the global set of phrase lists and the global mailing-list table,
// both empty (the rules file fills them later), lets the table answer the
// message model's mailing-list question, and puts the shipped
// default-phrases file into the install folder when none is there (a
// failure is logged: the lists that file fills then start empty). Starts
// the central service's client: the program's identity from the settings
// file, the stop codes at their defaults, the UDP report path. Makes every
// message's block-list look-ups the asynchronous kind and creates the DCC
// server list, empty (the settings give it its hosts). Never raises.
void InitializeListsModule();

// Takes the table's answer back from the message model, then drops the
// table and the set. Lists still held elsewhere (a worker in the middle of
// a look-up) live until they are let go. Frees the central service's UDP
// client and report queue, and the DCC server list (its resolving threads
// stopped first); empties the block-list table. Never raises.
void FinalizeListsModule();

}  // namespace halvorn
