// The danger analysis of a message's attachments: votes of other users and
// of the maker's service, names that hide their true type, several names or
// extensions, long runs of blanks, the risk of the file type in the
// file-extension table, and a content type that claims less risk than the
// name. Each attachment gets a danger level and a description box in
// AttachmentInfo; its danger joins the message's danger points, and the
// standard-test entries 742-753 record what was found.
//
// A function of the message and the table: its working state lives in one
// call. Safe from any thread that may change the message; the table is read
// through its own lock and never grows (unknown extensions are not added).
#pragma once

#include <string>

namespace halvorn {

class TEmailMsg;
class TFileExtensionList;

// The names the danger of a top-level attachment, and of one nested inside
// another part, are added under. Every attachment's danger goes under the one
// name, whose entry keeps the largest danger given, so a harmless first
// attachment does not hide a dangerous later one.
inline constexpr const char* kAttachmentDangerName = "Attachment";
inline constexpr const char* kNestedAttachmentDangerName = "Email attachment";

// Scores and describes every attachment of the message. A null table counts
// every extension as unknown. Exceptions end the analysis quietly (logged).
void CheckAttachedFiles(TEmailMsg& msg, TFileExtensionList* table);

}  // namespace halvorn
