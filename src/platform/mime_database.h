// Content types of file extensions: the Linux stand-in for the MIME database
// that the program reads from the system on Windows.
//
// A built-in table of the common types answers first, so the answers for
// those are the same on every machine; /etc/mime.types, when present, adds
// the rest. The file is read once, on first use. Safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace halvorn::platform {

// The content type registered for an extension given with its leading dot
// (".pdf"), matched ignoring ASCII case. False, with `type` untouched, when
// none is known.
bool MimeTypeForExtension(std::string_view extension, std::string& type);

// The preferred extension (with its dot) of a content type, matched ignoring
// ASCII case. False, with `extension` untouched, when none is known.
bool ExtensionForMimeType(std::string_view type, std::string& extension);

}  // namespace halvorn::platform
