// Paths for new files (message backups, reports, temporary files) whose names
// do not collide with files already there.
//
// Names often come from mail (a subject, an attachment's name), so the file
// name is cleaned whatever it holds: the result never is "." or "..", never
// holds a "/" or a "\", a control character or a byte above 126, and never
// exceeds 255 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace halvorn {

// The longest file name the file system takes.
inline constexpr std::size_t kMaxFileNameBytes = 255;
// The longest extension kept; a longer one is cut to its first bytes.
inline constexpr std::size_t kMaxUniqueExtensionBytes = 32;
// Length of the suffix "(" + five random letters or digits + ")".
inline constexpr std::size_t kUniqueSuffixBytes = 7;

// Sets `path` to a path for a new file in `folder`. An empty folder means the
// temporary folder. The name's spaces become "_" unless keepSpaces is set;
// then every character that may not stand in a file name is removed from the
// name and the extension (which includes its dot, as ".eml"), and the name is
// cut so that name, suffix and extension fit in 255 bytes.
//
// When the folder exists, a suffix "(" + five random letters and digits + ")"
// is always put between name and extension, drawn again while a file (or
// link) of that name exists or a durability batch has staged a file for it
// (durability_batch.h). When it does not exist, it is created with every
// missing level and the path is folder + name + extension without a suffix,
// unless that would name nothing ("", "." or "..") - then a suffix is added
// anyway. Never fails: when the folder cannot be created the path is still
// given and the caller's file operation reports the error. Safe from any
// thread; two threads may get the same free path only if neither creates its
// file before the other looks.
void GetUniquePath(const std::string& folder, const std::string& name, const std::string& extension,
                   std::string& path, bool keepSpaces = false);

// Moves the file at `path` out of the way without losing anything: renames it
// to `path` + `suffix` ("x.dat" to "x.dat.damaged"), or, when that name is
// taken, to a free name GetUniquePath draws from it in the same folder
// (spaces kept), never replacing a file (RenameNoReplace). `target` receives
// the name it got. Answers 0, or the errno of the last attempt (ENOENT when
// there is no file). The rename rides on the current durability batch. Safe
// from any thread.
int MoveAsideNoReplace(const std::string& path, const std::string& suffix, std::string& target);

// The cleaning GetUniquePath does to a name and an extension, without the
// disk: `cleanName` and `cleanExtension` hold only file-name characters and
// together with a suffix fit in kMaxFileNameBytes.
void CleanUniquePathParts(std::string_view name, std::string_view extension, bool keepSpaces,
                          std::string& cleanName, std::string& cleanExtension);

}  // namespace halvorn
