// The program's identity at the central service: the user id and key the
// service assigned in a handshake, carried by every TCP request, every UDP
// report and the DCC queries.
//
// Id and key are one value: they are handed out together under a leaf lock,
// so no reader ever sees the id of one assignment with the key of another.
// The main settings file keeps them ("UserNumber" and "Key" of the section
// "Security"); the id is also the program's UserNumber (heartbeat.h).
//
// Every function is safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

class TQuorIniFile;

struct TQchIdentity {
  std::int32_t UserId = 0;  // 0: none assigned yet
  std::string Key;
};

// The current identity.
TQchIdentity GetQchIdentity();

// Replaces the identity (and UserNumber) and wakes the sockets waiting for
// one. Writes nothing to disk.
void SetQchIdentity(std::int32_t userId, const std::string& key);

// Stores an identity the service assigned: SetQchIdentity, then writes it to
// the main settings file (created when missing). A file that cannot be
// written is logged; the identity stays in force for this run.
void StoreAssignedQchIdentity(std::int32_t userId, const std::string& key);

// Writes "UserNumber" and "Key" of "Security" into the settings object (the
// settings save, which writes the file anew, calls it).
void SaveQchIdentity(TQuorIniFile& settings);

// Module start: reads the identity from the main settings file when that file
// exists (a missing file is not created); none otherwise. Never raises: an
// unreadable file is logged and leaves no identity.
void LoadQchIdentity();

// A key the service may assign: its bytes, up to the first zero byte, are all
// printable ASCII (33 to 126) and there is at least one. Keys go into
// settings lines, where line breaks or zero bytes would split them.
bool IsValidQchKey(const std::string& key);

// Marks a handshake under way for its scope (the socket's Open). Not
// copyable.
class TQchHandshakeScope {
 public:
  TQchHandshakeScope();
  ~TQchHandshakeScope();
  TQchHandshakeScope(const TQchHandshakeScope&) = delete;
  TQchHandshakeScope& operator=(const TQchHandshakeScope&) = delete;
};

// A new socket's wait for an id being assigned: while the identity has no id
// and another socket's handshake is under way, waits up to `tries` times
// `stepMs`, waking as soon as an id arrives or the handshakes end. Answers
// the identity then. Without a handshake under way it answers at once.
TQchIdentity WaitForQchIdentity(int tries = 10, int stepMs = 200);

}  // namespace halvorn
