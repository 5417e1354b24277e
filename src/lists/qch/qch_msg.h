// The frame of the central service's TCP protocol and the base of its
// messages.
//
// Integers are little-endian. A frame as this program writes it (message
// version 1.1.2.66 or later):
//   offset 0   frame length, this field included
//   offset 4   message type (TQCHMsgType)
//   offset 5   marker 2147482981
//   offset 9   header size 21
//   offset 13  version, packed (major in the lowest byte)
//   offset 17  message id
//   offset 21  one section per class level below TQchMsg, the parent's first
// An older peer (version below 1.1.2.66) writes only the length and the type
// (header size 5) and no version or id. Above 1.1.2.66 every section starts
// with its own size (4 bytes included); at 1.1.2.66 and below it has none.
// So there are three layouts; a frame's layout follows from its header, a
// message's own from its Version.
//
// A frame is at most 16 MiB; a length below 5 or above that can never be a
// frame, and the client closes the connection on it. A message decodes from
// a copy of its own frame only, so a short frame never reads the next one. A
// newer peer may send a longer header or longer sections: their surplus is
// skipped, the next section starting where the longer one ends, inside the
// frame.
//
// A message object belongs to one thread. NextMsgId and TicksSince are safe
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/time/date_time.h"
#include "message/dcc_checksums.h"
#include "message/message_checksums.h"

namespace halvorn {

enum TQCHMsgType : std::uint8_t {
  Qch_Unknown = 0,
  Qch_Blank = 1,
  Qch_Client = 2,
  Qch_Server = 3,
  Qch_Redirect = 4,
  Qch_AssignUserId = 5,
  Qch_EmailUser = 6,
  Qch_MatchQuery = 7,
  Qch_MatchResponse = 8,
  Qch_MsgRecReq = 9,
  Qch_MsgRecResponse = 10,
  Qch_CategorizeReq = 11,
  Qch_CategorizeResponse = 12,
  Qch_SubmitTxtReq = 13,
  Qch_UserUpdateReq = 14,
  Qch_SubmitTestsReq = 15,
  Qch_ReturnProbResponse = 16,
  Qch_GetExternalIp = 17,
  Qch_GetExternalIpResponse = 18,
};
inline constexpr int kQchLastMsgType = 18;

inline constexpr std::int32_t kQchMarker = 2147482981;
// 1.1.2.66: the first version with the marker header; above it, sections
// carry their sizes.
inline constexpr std::uint32_t kQchSizedVersion = 1107427585;
// 0.1.2.66: the version of a frame without marker.
inline constexpr std::uint32_t kQchMarkerlessVersion = 1107427584;
inline constexpr int kQchOldHeaderSize = 5;
inline constexpr int kQchHeaderSize = 21;
inline constexpr std::int32_t kQchMaxFrameSize = 16 * 1024 * 1024;

// The three layouts: below 1.1.2.66, exactly 1.1.2.66, above it.
enum class TQchLayout { Old, At, New };
TQchLayout QchLayoutOf(std::uint32_t version);

enum class TQchFrameState {
  Incomplete,  // fewer than 5 bytes, or fewer than the frame's length
  Complete,    // a whole frame at the front (more bytes may follow)
  Invalid,     // a length below 5 or above kQchMaxFrameSize
};
// What the buffer holds at its front. A length that is invalid is known as
// soon as its 4 bytes are there.
TQchFrameState QchFrameState(std::string_view buffer);
// The buffer holds a whole, valid frame at its front.
bool IsCompleteQchFrame(std::string_view buffer);
// The byte at offset 4; 0 when the buffer is shorter.
std::uint8_t PeekQchMsgType(std::string_view buffer);

// The base of every message (type 1, Qch_Blank).
class TQchMsg {
 public:
  // Type Qch_Blank, the program's version, a new id, an empty stream.
  TQchMsg();
  virtual ~TQchMsg() = default;
  TQchMsg(const TQchMsg&) = delete;
  TQchMsg& operator=(const TQchMsg&) = delete;

  TQCHMsgType MsgType = Qch_Blank;
  // Packed; after Decode the sender's (0.1.2.66 for a frame without marker).
  std::uint32_t Version = 0;
  // After Decode the id in the header (a frame without marker carries none:
  // the message keeps the id it was created with).
  std::int32_t MsgId = 0;

  // The encoded message (after Encode) or a copy of the decoded frame.
  const std::string& Stream() const { return FStream; }

  // Writes the message into its own stream, replacing it, in the layout of
  // its Version; the frame length stays 0 (WriteTo sets it).
  void Encode();
  // The size Encode writes for the fields as they are now.
  virtual int GetHeaderSize() const;
  // Reads the first frame of the source into the message: false when no
  // whole valid frame starts the source, its type byte is not this class's,
  // a marker header carries a version below 1.1.2.66 or a header size below
  // 21, or a section is short or malformed (fields not reached keep their
  // values). Never raises for bad data.
  bool Decode(std::string_view source);
  // What the last Decode answered (false before any).
  bool Decoded() const { return FDecoded; }
  // Encode, then the frame length set, then the frame appended to the
  // target.
  void WriteTo(std::string& target);

  // The encoded size of a text and of a checksum array.
  static int TextSize(const std::string& text) { return static_cast<int>(text.size()) + 4; }
  static int CheckSumsSize(const TCheckSumArray& sums) {
    return static_cast<int>(sums.size()) * 4 + 4;
  }

 protected:
  // For replies: the given type, id and version.
  TQchMsg(TQCHMsgType type, std::int32_t msgId, std::uint32_t version);

  // Each class appends its section after calling its parent's; the base
  // writes the header.
  virtual void EncodeFields();
  // Each class reads its section after its parent answered true.
  virtual bool DecodeFields();

  // The layout being written (from Version) or read (from the frame).
  TQchLayout Layout() const { return FLayout; }
  // A section's size as written: its body, plus the size field in the New
  // layout.
  int Sized(int body) const { return body + (QchLayoutOf(Version) == TQchLayout::New ? 4 : 0); }

  void WriteInt(std::int32_t value);
  void WriteByte(std::uint8_t value);
  void WriteDate(TDateTime value);
  void WriteText(const std::string& text);
  void WriteCheckSums(const TCheckSumArray& sums);
  void WriteBytes(const void* data, std::size_t size);
  // Starts a section (its size field in the New layout) and patches its
  // size at the end.
  std::size_t BeginSection();
  void EndSection(std::size_t start);

  bool ReadInt(std::int32_t& value);
  bool ReadByte(std::uint8_t& value);
  bool ReadDate(TDateTime& value);
  // False for a negative length or one past the frame.
  bool ReadText(std::string& text);
  // False for a negative byte count, one not a multiple of 4, or one past
  // the frame.
  bool ReadCheckSums(TCheckSumArray& sums);
  bool ReadBytes(void* data, std::size_t size);
  std::size_t BytesLeft() const { return FStream.size() - FPos; }

  // A section whose fields `write` appends.
  template <class F>
  void WriteSection(F write) {
    const std::size_t start = BeginSection();
    write();
    EndSection(start);
  }
  // A section whose fields `read` reads (answering false for a field that
  // cannot be read); false as well when its size does not fit.
  template <class F>
  bool ReadSection(F read) {
    TSectionStart section;
    return BeginReadSection(section) && read() && EndReadSection(section);
  }

  struct TSectionStart {
    std::size_t Start = 0;
    std::int32_t Size = -1;
  };
  // Reads a section's size field (New layout).
  bool BeginReadSection(TSectionStart& section);
  // Compares what was read with the received size: less received is
  // malformed; more is a newer peer's surplus, skipped when it lies within
  // the frame.
  bool EndReadSection(const TSectionStart& section);

 private:
  std::string FStream;
  std::size_t FPos = 0;
  TQchLayout FLayout = TQchLayout::New;
  bool FDecoded = false;
};

// Bytes received and not yet taken as frames. Taking a frame off the front
// costs the same however much follows it: the front is dropped lazily, once
// it is at least half of what is held. Not thread-safe.
class TQchBuffer {
 public:
  // What is held, from the first byte not yet taken.
  std::string_view View() const { return std::string_view(FData).substr(FStart); }
  std::size_t Size() const { return FData.size() - FStart; }
  bool Empty() const { return Size() == 0; }
  void Append(std::string_view bytes) { FData.append(bytes); }
  // Drops the first n bytes (all when n is larger).
  void Consume(std::size_t n);
  void Clear() {
    FData.clear();
    FStart = 0;
  }

 private:
  std::string FData;
  std::size_t FStart = 0;
};

// A new message id: the low 32 bits of the steady millisecond clock, or, when
// that is not after the id handed out last (compared across the wrap),
// that id + 1; never 0. Distinct across threads.
std::int32_t NextMsgId();

// Milliseconds since the tick `start` (an id): the difference modulo 2^32 as
// a signed number, 0 when negative.
std::int32_t TicksSince(std::int32_t start);

}  // namespace halvorn
