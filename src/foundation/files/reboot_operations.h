// File replacements that wait for the program's next start.
//
// A file that the running program holds open (the interception library) is
// replaced at the next start instead of at once: MoveFileAtReboot records
// the move in the pending-operations file under the install folder, module
// start-up calls ApplyRebootOperations before anything else can cancel them,
// and CancelRebootOperations drops recorded moves that name a path.
//
// The pending-operations file is a settings file (TQuorIniFile) with the
// section "Rename" and one line destination=source per move, in the order
// the moves were recorded. Paths are stored absolute.
//
// No operation raises: failures are logged and answered as false or 0.
// Every operation is safe from any thread (one lock in the process).
#pragma once

#include <string>

namespace halvorn {

// The pending-operations file: install folder + "/PendingRenames.txt".
std::string GetRebootOperationsFilePath();

// Records that `source` is to be moved over `destination` (replacing it) at
// the next start. False when the move cannot be recorded: a path that is
// empty or holds a line break or zero byte, a destination holding "=", or a
// file that cannot be written.
bool MoveFileAtReboot(const std::string& source, const std::string& destination);

// Drops every recorded move whose source or destination is `path` (exact,
// case counts); the other moves stay as they were, in order.
void CancelRebootOperations(const std::string& path);

// Carries out the recorded moves in order and answers how many were done. A
// move whose source is gone is dropped; one that fails otherwise stays
// recorded for the next start (logged).
int ApplyRebootOperations();

}  // namespace halvorn
