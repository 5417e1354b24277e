// Files and file types: masks, folder listings, old-file clean-up, sizes,
// appending, extensions and content types.
//
// Folder paths use "/"; masks take "*" and "?" and match names ignoring case
// ("*.*" matches every name). Missing files and folders give the empty, false
// or -1 answers documented below; nothing here raises on them. Safe from any
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/text/string_list.h"
#include "foundation/time/date_time.h"

namespace halvorn {

// True when a regular file lies at the path (a link is followed); false for
// an empty path, a folder, a missing or dangling entry, or one that cannot
// be looked at.
bool FileExists(const std::string& path);
// True when the name matches the mask in the way the file helpers use.
bool MatchesFileMask(std::string_view name, std::string_view mask);
// Appends every subfolder of the folder, each path ending in "/", in name
// order; with `recursive` each one's own subfolders follow it. Symbolic links
// to folders are neither listed nor entered, so a link loop cannot make the
// walk endless.
void ListSubfolders(const std::string& folder, bool recursive, TStringList& list);
// With a folder name longer than 1 character that exists, appends the path of
// every file (not folder) in it matching the mask, in name order, until the
// list holds maxCount lines; then, while below that and with withSubfolders,
// the same for every subfolder of ListSubfolders (recursive).
void ListFilesInDir(const std::string& folder, const std::string& mask, bool withSubfolders,
                    int maxCount, TStringList& list);
// Deletes every file of the folder (not its subfolders) that matches the mask
// and was created before the date (a date-time taken as it stands, with no
// time-zone conversion; the creation time is the file system's birth time, or
// the modification time where it keeps none). Answers the number of files
// actually deleted: a file that could not be deleted is not counted. -1 when
// the folder does not exist or the date is no valid date-time.
int DeleteFilesOlderThan(const std::string& folder, const std::string& mask, TDateTime date);
// How DeleteFilesOlderThan ages a file.
enum class TFileAge {
  Created,  // by its creation (birth) time, as above
  LastUse,  // by the later of its last access and last modification: a file
            // read recently stays, also on a file system mounted without
            // access times (whose access times never move)
};
// DeleteFilesOlderThan with the age the caller picks.
int DeleteFilesOlderThan(const std::string& folder, const std::string& mask, TDateTime date,
                         TFileAge age);
// The size in bytes of the first file matching the path (its name part may
// hold a mask); -1 when there is none.
std::int64_t FileSizeOf(const std::string& path);
// Appends the text to the file, creating it when missing unless onlyExisting.
// False for an empty text, a missing file with onlyExisting, or a failed
// write.
bool AppendTextToFile(std::string_view text, const std::string& path, bool onlyExisting);
// A name a stored record may give for a file of one of the user's folders:
// not empty, not "." or "..", without "/" and without a zero byte.
bool IsPlainFileName(std::string_view name);
// The extension of a file name with its dot (".txt"), trailing dots of the
// name dropped first; empty when there is none.
std::string GetFileExtension(std::string_view fileName);
// The content type of an extension (a dot is put in front when missing).
// When unknown: "application/octet-stream" and false.
bool ContentTypeForExtension(std::string_view extension, std::string& type);
bool ContentTypeForFileName(std::string_view fileName, std::string& type);
// The preferred extension of a content type. When unknown: ".txt" and false.
bool ExtensionForContentType(std::string_view type, std::string& extension);
// The program that opens files of the extension. Linux keeps no such
// registration the program could read reliably, so the answer is always
// empty and callers fall back as they do for an unregistered type.
std::string ProgramForExtension(std::string_view extension);

namespace detail {
// Test seam: replaces the function DeleteFilesOlderThan deletes a file with
// (true when deleted); an empty function restores the real one.
void SetDeleteFileForTests(std::function<bool(const std::string&)> deleteFile);
}  // namespace detail

}  // namespace halvorn
