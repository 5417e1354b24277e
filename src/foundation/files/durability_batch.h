// Durability in batches: the program's one way to make what it writes survive
// a power cut, and the only place that flushes anything to the disk.
//
// A file written and renamed into place is safe against a crash of the
// program at once, but not against a power cut: until the disk has the new
// content and the folder entry, a power cut may leave the old file, no file,
// or a file with the new name and no content. Flushing every file on its own
// costs a disk round trip per file; a batch collects the writes of many files
// and makes them durable together:
//
//   1. StageWrite writes each new content to a hidden temporary file beside
//      its target (".name.XXXXXX": loaders skip hidden files) and nothing is
//      renamed yet; StageMove notes a rename of a file that is durable already.
//   2. Commit flushes every staged content (the first flush), renames each
//      staged file into place, flushes again (the second flush), and only then
//      removes the files that the new ones supersede.
//
// A power cut at any moment therefore leaves each target with its old content
// or its whole new content, never a truncated one, and a superseded file goes
// only once its successor is durable. A file written into another folder than
// the one it supersedes (a message that moves and changes at once) is listed
// with its temporary name in a small journal in the batch's journal folder,
// made durable by the first flush: ReplayDurabilityJournals, run at start-up
// before anything is loaded, removes the superseded file when its successor
// was placed and the temporary file otherwise, so no crash leaves both.
//
// How a writer joins a batch. Whoever owns a batch makes it the calling
// thread's current batch with a TDurabilityScope; every write of that thread
// that goes through WriteFileInCurrentBatch then stages into it (the message
// files, side records, report files and raw backups do), so a worker that
// opens a scope around its work needs no other change. A writer with a batch
// of its own in hand calls StageWrite directly. Without a current batch,
// WriteFileInCurrentBatch is WriteFileAtomically: a batch of one file,
// committed before it returns (two flushes). Settings files (the accounts,
// the options, the rules) always use WriteFileAtomically: they must be
// durable when the call returns. The classification files (dictionaries,
// training vectors, network weights) are written in bulk and join a batch the
// same way: a scope around the save, one Commit at its end.
//
// Who must commit before replying. A batch is committed before the program
// tells anyone that mail is safe, never after:
//   - the download commits before it records a UIDL as downloaded and before
//     it sends a DELE or QUIT to the remote server;
//   - the incoming processing commits each batch of messages before it lets
//     their claims go (the local POP3 server never serves a message whose
//     file is not in place);
//   - the local POP3 server commits the deletions of a QUIT before its "+OK";
//   - the ESMTP server must commit a received message before its reply to
//     DATA, and the send queue a message's new state before it reports the
//     message sent.
// Report files, raw backups and side records never hold the only copy of
// mail: they ride on whatever commit comes next.
//
// Flushing. A commit flushes with one syncfs per file system the batch
// touched, or with one fsync per file and per folder (SetSyncMethod). On this
// project's disks syncfs is the faster by a wide margin for more than a few
// files (scripts/bench.sh mail_store_bench measures both), so it is the
// default. DurabilityFlushCount counts every flush the program makes.
//
// Threads. A batch belongs to one thread at a time (the one that stages into
// it and commits it); the process-wide counters, the reserved names and the
// recording seam are safe from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace halvorn {

enum class TSyncMethod {
  FileSystem,  // syncfs, once per file system
  EachFile,    // fsync, once per file and once per folder
};
// The method every commit uses (FileSystem unless set). Any thread.
void SetSyncMethod(TSyncMethod method);
TSyncMethod GetSyncMethod();

// The flushes (syncfs and fsync calls) made since the program started. Any
// thread.
std::uint64_t DurabilityFlushCount();

// A file that a batch will put in place at its commit. Shared by the batch
// and the writer that staged it, which may look at its state and the path it
// got, or take it back (TDurabilityBatch::Unstage).
struct TStagedFile {
  enum TState { Pending, Placed, Failed, Dropped };
  // Where Commit puts the file; the writer may change it until Commit (a
  // message that moves again), within the same file system.
  std::string Target;
  // The hidden temporary file holding the content; empty for a move.
  std::string TempPath;
  // For a move: the durable file that Commit renames to Target.
  std::string MoveFrom;
  // A file that the placed one replaces under another name: Commit removes
  // it once the new file is durable (journalled, see the top).
  std::string Supersedes;
  bool Replace = false;  // an existing Target is replaced (else a name is drawn)
  std::function<std::string()> DrawPath;
  // Called by Commit (on the committing thread, holding no lock of the
  // batch) with the path the file got, or with an empty path when it could
  // not be placed; the superseded file then stays.
  std::function<void(const std::string& placedPath)> OnPlaced;
  TState State = Pending;
  std::string PlacedPath;
  // Identity of the superseded file when staged (its size and a hash of its
  // head, where the message files keep their ContentId), so that a file
  // that took its name later is never removed for it.
  std::string SupersededIdentity;
};
using TStagedFileRef = std::shared_ptr<TStagedFile>;

class TDurabilityBatch {
 public:
  TDurabilityBatch() = default;
  // Drops what was staged and not committed (Discard).
  ~TDurabilityBatch();
  TDurabilityBatch(const TDurabilityBatch&) = delete;
  TDurabilityBatch& operator=(const TDurabilityBatch&) = delete;

  // The folder of the batch's journal (created when needed), and the folder
  // its paths are written relative to (so a data folder that moves, or is
  // restored from a copy, keeps its journals good). Without a journal a
  // crash between the placing of a file and the removal of the one it
  // supersedes under another name may leave both (never neither).
  void SetJournalFolder(const std::string& folder, const std::string& root) {
    FJournalFolder = folder;
    FJournalRoot = root;
  }

  // Writes `bytes` now to a hidden temporary file beside `path` (created
  // with `mode`); Commit places it at `path`: replacing a file there with
  // `replace`, else under a free name (a taken name is drawn again with
  // `drawPath`; without one a taken name makes the placement fail). A second
  // write staged for the same target replaces the first. `supersedes`
  // names a file the new one replaces under another name (see TStagedFile).
  // The name `path` is reserved until the commit (GetUniquePath draws around
  // it). Answers the staged file, or null with `error` set (nothing staged,
  // no file left) when the temporary file cannot be written.
  TStagedFileRef StageWrite(const std::string& path, const std::string& bytes, mode_t mode,
                            bool replace, std::function<std::string()> drawPath,
                            std::string& error, const std::string& supersedes = {});
  // Commit renames the durable file `from` to `path`, never replacing (a
  // taken name is drawn again with `drawPath`).
  TStagedFileRef StageMove(const std::string& from, const std::string& path,
                           std::function<std::string()> drawPath);
  // Takes a staged file back: its temporary file goes, Commit leaves it
  // alone, OnPlaced is not called. Nothing for one already placed. Needs no
  // batch in hand: the staged file knows what to undo.
  static void Unstage(const TStagedFileRef& staged);
  // Gives a pending staged file another target (in the same file system),
  // drawn again there with `drawPath`. `onDiskFile` is the file the writer
  // has on the disk now (empty: none): a write whose new target is that file
  // replaces it, one whose target differs supersedes it; a move to its own
  // source is taken back. Nothing for a file that is not pending.
  static void Retarget(const TStagedFileRef& staged, const std::string& target,
                       const std::string& onDiskFile, std::function<std::string()> drawPath);

  // A file whose content, or a folder whose entries, changed already (a file
  // written in place, renamed or removed outside the batch) and that Commit
  // makes durable too.
  void AddFile(const std::string& path);
  void AddFolder(const std::string& folder);

  // The steps at the top. Answers an empty text, else the first failure
  // (later steps still run where they can: files that could not be placed
  // stay where they were and their writers are told). Afterwards the batch
  // is empty and may be used again.
  std::string Commit();
  // Removes every temporary file staged and not committed; each staged
  // file's writer is told through OnPlaced with an empty path.
  void Discard();

  // Nothing staged or added since the last commit.
  bool Empty() const;
  int StagedCount() const { return static_cast<int>(FStaged.size()); }

 private:
  std::string PlaceAll(std::vector<std::string>& folders);
  void RemoveSuperseded();
  std::string WriteJournal();

  std::vector<TStagedFileRef> FStaged;
  std::vector<std::string> FFiles;
  std::vector<std::string> FFolders;
  std::string FJournalFolder;
  std::string FJournalRoot;
  std::string FJournalPath;  // this commit's journal, once written
};

// Makes the batch the calling thread's current batch for the scope (a null
// batch: none); the previous one comes back when it ends.
class TDurabilityScope {
 public:
  explicit TDurabilityScope(TDurabilityBatch* batch);
  ~TDurabilityScope();
  TDurabilityScope(const TDurabilityScope&) = delete;
  TDurabilityScope& operator=(const TDurabilityScope&) = delete;

 private:
  TDurabilityBatch* FPrevious;
};

// The calling thread's current batch; null when none.
TDurabilityBatch* CurrentDurabilityBatch();

// Writes the file through the calling thread's current batch (StageWrite:
// placed at its commit; `placedPath` receives the planned path) or, without
// one, at once (WriteFileAtomically / WriteNewFileAtomically, durable when
// it returns; `placedPath` receives the path it got). `replace` and
// `drawPath` as for StageWrite. `onPlaced` (may be empty) hears the final
// path of a staged write at the commit. Answers an empty text or the error.
std::string WriteFileInCurrentBatch(const std::string& path, const std::string& bytes,
                                    bool replace, const std::function<std::string()>& drawPath,
                                    std::string& placedPath,
                                    std::function<void(const std::string&)> onPlaced = {},
                                    mode_t mode = 0600);

// A file or folder whose change rides on the calling thread's current batch
// (nothing without one: the change is as durable as the caller made it).
void AddToCurrentBatch(const std::string& path, bool isFolder);

// Renames a file as one step (replacing a target only with `replace`,
// RenameNoReplace otherwise), recorded by the seam below, and adds both
// folders to the current batch. Answers 0 or the errno.
int RenameFileInBatch(const std::string& from, const std::string& to, bool replace);
// Removes a file, recorded, and adds its folder to the current batch. True
// when it was removed.
bool RemoveFileInBatch(const std::string& path);

// A name staged by some batch and not yet placed: GetUniquePath treats it as
// taken. Any thread.
bool IsReservedPath(const std::string& path);

// Finishes or undoes the commits a crash interrupted, from the journals in
// the folder (see the top; `root` as the batches had it), and removes the
// journals. Call it at start-up before the files are loaded, with nothing
// else writing. Answers how many superseded or temporary files it removed.
int ReplayDurabilityJournals(const std::string& journalFolder, const std::string& root);

// Removes the hidden temporary files a batch or an atomic write left in the
// folder (names "." + name + "." + six characters). Start-up only. Answers
// how many.
int RemoveStaleTemporaryFiles(const std::string& folder);

// ---------------------------------------------------------------------------
// Recording seam (tests): every file operation the mechanism makes, in
// order, and the points at which the roads tell someone mail is safe.

struct TDurabilityOp {
  enum TKind {
    Create,   // Path created, empty
    Content,  // Path's whole content became Bytes
    Rename,   // Path renamed to Target (replacing it when it existed)
    Remove,   // Path removed
    Sync,     // a flush: Path empty for a whole file system, else the file
              // or folder flushed
    Event,    // Bytes: a road's own note ("DELE <uidl>", "+OK QUIT", ...)
  };
  TKind Kind;
  std::string Path;
  std::string Target;
  std::string Bytes;
};
// Installs the recorder (an empty function removes it). It is called on
// the thread that made the operation, under a process-wide lock, so the
// records come in one order.
void SetDurabilityRecorderForTests(std::function<void(const TDurabilityOp&)> recorder);
// Passes a note to the recorder, if one is installed.
void RecordDurabilityEvent(const std::string& text);

// Test seam: the next Commit (of any thread) stops as a crash would, after
// its first flush (step 1: nothing placed) or after its second (step 2:
// placed, nothing superseded removed, the journal left). 0 clears it.
void CrashNextCommitForTests(int step);

}  // namespace halvorn
