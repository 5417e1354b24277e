// The program's one way to replace a file's whole content safely, and its
// one reader of a whole file.
//
// A reader either sees the old file or the complete new one, never a
// half-written file, and a crash or a full disk leaves the old file as it was.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace halvorn {

// Replaces the file at `path` with `bytes`: writes a temporary file in the
// same folder, flushes it to the disk, renames it over the old file and
// flushes the folder, so the change survives a power cut: a batch of one
// file of the durability mechanism (durability_batch.h), committed before
// the call returns. The new file gets
// exactly `mode` (default owner read/write only: the program's files hold mail
// and passwords). The folder must exist; it is not created.
//
// Returns an empty text on success, else a one-line error naming the path and
// the system's reason. On failure the old file (or its absence) is untouched
// and the temporary file is removed. Safe from any thread; two writers of the
// same path at once each succeed and the last rename wins.
std::string WriteFileAtomically(const std::string& path, const std::string& bytes,
                                mode_t mode = 0600);

// Reads the whole regular file at `path` into `bytes` (replacing them).
// Returns an empty text on success, else a one-line error: "Cannot open
// <path>: <reason>", "Cannot read <path>: <reason>", or, for something that
// is not a regular file or holds more than `maxBytes`, "Cannot read <path>:
// not a <kind>". On failure `bytes` is empty. Safe from any thread.
std::string ReadFileBytes(const std::string& path, std::size_t maxBytes, std::string& bytes,
                          const std::string& kind = "regular file");

// Renames `from` to `to` unless something named `to` exists, as one step:
// Linux's rename silently replaces its target, and a program that gives out
// free names (GetUniquePath) can hand one name to two writers. Uses
// renameat2 with RENAME_NOREPLACE; where the file system refuses the flag,
// it renames after checking that the target is absent (a window remains only
// there). It never links and unlinks: a kill between the two would leave the
// file under both names. Returns 0 on success, else the errno: EEXIST when
// the target exists. Safe from any thread.
int RenameNoReplace(const std::string& from, const std::string& to);

// WriteFileAtomically for a file that must not replace another: the
// temporary file is renamed with RenameNoReplace, and when `path` is taken
// (EEXIST) `drawPath` gives another path in the same folder and the rename
// is tried again (at most 100 names). `writtenPath` receives the path the
// file got (empty on failure). The folder is flushed as WriteFileAtomically
// does. Returns an empty text on success, else a one-line error; on failure
// no file of ours is left and nothing was replaced. A null `drawPath` makes
// a taken path a failure.
std::string WriteNewFileAtomically(const std::string& path, const std::string& bytes,
                                   const std::function<std::string()>& drawPath,
                                   std::string& writtenPath, mode_t mode = 0600);

// Test seam: called with the target path right before every no-replace
// rename of WriteNewFileAtomically (from the writing thread), so a test can
// take the name between its drawing and its rename. An empty function
// removes the hook.
void SetBeforeNoReplaceRenameForTests(std::function<void(const std::string& target)> hook);

// The steps at which a test can make the next write fail.
enum class AtomicWriteStep { None, Create, Write, Sync, Rename };

// Test seam: the next WriteFileAtomically or WriteNewFileAtomically (from
// any thread) fails at `step` as if the system had answered `error` (an
// errno value such as ENOSPC).
// AtomicWriteStep::None clears a pending failure.
void FailNextAtomicWriteForTests(AtomicWriteStep step, int error);

}  // namespace halvorn
