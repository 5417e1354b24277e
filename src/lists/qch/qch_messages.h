// The messages of the central service's TCP protocol: the client's requests,
// the service's replies, and the two bases that carry what every request and
// every reply shares. Each adds one section to the frame (qch_msg.h).
//
// Sections, in order (v the message's Version; "size" only above 1.1.2.66):
//   TQchClientMsg (2)   size; Key as 16 bytes (cut or zero-padded); UserId;
//                       Version as an integer only below 1.1.2.66; ClientTag
//   TQchServerMsg (3)   size; Status
//   requests, after the client section:
//     TQchMatchQueryMsg (7)     size; CheckSums; BodySum; Fuz1Sum; Fuz2Sum
//     TQchMsgRecReqMsg (9)      size; MsgNumber
//     TQchCategorizeReqMsg (11) size; MsgNumber; Category (byte); Spare
//     TQchSubmitTextMsg (13)    size; CheckSums; BodySum; Fuz1Sum; Fuz2Sum;
//                               Category (byte); Text
//     TQchUserUpdateMsg (14)    size; MsgNumber; ExtraInfo
//     TQchSubmitTestsMsg (15)   size; trite text (the y/n/u letters through
//                               CompressString); StatData (above 1.1.2.66);
//                               probabilities text; Occasion (byte, above
//                               1.1.2.66)
//     TQchGetExternalIpMsg (17) size
//   replies, after the server section:
//     TQchRedirectMsg (4)       size; Host
//     TQchAssignUserIdMsg (5)   size; key as 16 bytes; user id; one byte
//     TQchEmailUserMsg (6)      size; Text (a whole message)
//     TQchMatchResponseMsg (8)  size; MsgNumber; byte count 44n; n records;
//                               TextItemId; ExtraInfo
//     TQchMsgRecResponseMsg (10) size; MsgNumber; FirstSeen; LastSeen;
//                               ExtraInfo; TimesEncountered; Counts (19
//                               bytes); CheckSums
//     TQchCategorizeResponseMsg (12) size; Text
//     TQchReturnProbResponseMsg (16) size; probabilities text; StopCodes
//                               (above 1.1.2.66)
//     TQchGetExternalIpResponseMsg (18) size; Address
// Texts are a length and the bytes, checksum arrays a byte count and the
// checksums, dates 8-byte floats (days since 30 Dec 1899), digests 16 bytes.
//
// A message object belongs to one thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/text/trite_array.h"
#include "lists/qch/qch_msg.h"
#include "lists/qch/qch_records.h"
#include "message/category_probability.h"

namespace halvorn {

using TQchKeyBytes = std::array<std::uint8_t, 16>;

// The 16 bytes a key travels as: its first 16 bytes, zero-padded.
TQchKeyBytes QchKeyBytes(const std::string& key);
// The key a 16-byte field carries: its bytes up to the first zero.
std::string QchKeyText(const TQchKeyBytes& bytes);

// ---------------------------------------------------------------------------
// Bases

// The base of the requests (type 2, also the handshake).
class TQchClientMsg : public TQchMsg {
 public:
  TQchClientMsg() { MsgType = Qch_Client; }
  std::int32_t UserId = 0;
  std::string Key;
  TQchKeyBytes ClientTag{};  // zero unless the client fills it
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

// The base of the replies (type 3, also the plain handshake reply).
class TQchServerMsg : public TQchMsg {
 public:
  TQchServerMsg(std::int32_t msgId, std::uint32_t version)
      : TQchMsg(Qch_Server, msgId, version) {}
  // Non-zero when the service handled the request.
  std::uint8_t Status = 0;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

// ---------------------------------------------------------------------------
// Requests

class TQchMatchQueryMsg : public TQchClientMsg {
 public:
  TQchMatchQueryMsg() { MsgType = Qch_MatchQuery; }
  TCheckSumArray CheckSums;
  TDigest16 BodySum{};
  TDigest16 Fuz1Sum{};
  TDigest16 Fuz2Sum{};
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchMsgRecReqMsg : public TQchClientMsg {
 public:
  TQchMsgRecReqMsg() { MsgType = Qch_MsgRecReq; }
  std::int32_t MsgNumber = 0;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchCategorizeReqMsg : public TQchClientMsg {
 public:
  TQchCategorizeReqMsg() { MsgType = Qch_CategorizeReq; }
  std::int32_t MsgNumber = 0;
  std::uint8_t Category = 0;  // above 9 decodes as 0 and false
  std::int32_t Spare = 0;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchSubmitTextMsg : public TQchClientMsg {
 public:
  TQchSubmitTextMsg() { MsgType = Qch_SubmitTxtReq; }
  TCheckSumArray CheckSums;
  std::uint8_t Category = 0;  // 10 or more decodes as 0 and false
  std::string Text;
  TDigest16 BodySum{};
  TDigest16 Fuz1Sum{};
  TDigest16 Fuz2Sum{};
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchUserUpdateMsg : public TQchClientMsg {
 public:
  TQchUserUpdateMsg() { MsgType = Qch_UserUpdateReq; }
  std::int32_t MsgNumber = 0;
  std::string ExtraInfo;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

// A test report: 0 after processing, 1 on a personal categorisation, 2 on a
// spam one.
class TQchSubmitTestsMsg : public TQchClientMsg {
 public:
  TQchSubmitTestsMsg() : Probabilities("TQchSubmitTestsMsg") { MsgType = Qch_SubmitTestsReq; }
  TTriteArray Trites;
  std::string StatData;
  TCategoryProbability Probabilities;
  std::uint8_t Occasion = 0;
  int GetHeaderSize() const override;
  // The trite text as it travels.
  std::string TriteText() const;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchGetExternalIpMsg : public TQchClientMsg {
 public:
  TQchGetExternalIpMsg() { MsgType = Qch_GetExternalIp; }
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

// ---------------------------------------------------------------------------
// Replies (created with a message id and a version; the factory passes 0 and
// 0, and Decode sets both).

class TQchRedirectMsg : public TQchServerMsg {
 public:
  TQchRedirectMsg(std::int32_t msgId, std::uint32_t version) : TQchServerMsg(msgId, version) {
    MsgType = Qch_Redirect;
  }
  std::string Host;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchAssignUserIdMsg : public TQchServerMsg {
 public:
  TQchAssignUserIdMsg(std::int32_t msgId, std::uint32_t version)
      : TQchServerMsg(msgId, version) {
    MsgType = Qch_AssignUserId;
  }
  std::int32_t UserId = 0;
  TQchKeyBytes Key{};     // as received; QchKeyText gives the text
  std::uint8_t Spare = 0;  // ignored by the client
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchEmailUserMsg : public TQchServerMsg {
 public:
  TQchEmailUserMsg(std::int32_t msgId, std::uint32_t version) : TQchServerMsg(msgId, version) {
    MsgType = Qch_EmailUser;
  }
  std::string Text;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchMatchResponseMsg : public TQchServerMsg {
 public:
  TQchMatchResponseMsg(std::int32_t msgId, std::uint32_t version)
      : TQchServerMsg(msgId, version) {
    MsgType = Qch_MatchResponse;
  }
  // The service's number of the user's message; negative: never seen.
  std::int32_t MsgNumber = 0;
  TMsgSearchRecArray Records;
  // The ItemId of the record the extra information describes.
  std::int32_t TextItemId = 0;
  std::string ExtraInfo;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchMsgRecResponseMsg : public TQchServerMsg {
 public:
  TQchMsgRecResponseMsg(std::int32_t msgId, std::uint32_t version)
      : TQchServerMsg(msgId, version) {
    MsgType = Qch_MsgRecResponse;
  }
  // Only MsgNumber to CheckSums travel; the digests stay as they are.
  TMessageRec Rec;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchCategorizeResponseMsg : public TQchServerMsg {
 public:
  TQchCategorizeResponseMsg(std::int32_t msgId, std::uint32_t version)
      : TQchServerMsg(msgId, version) {
    MsgType = Qch_CategorizeResponse;
  }
  std::string Text;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

// Decoding a non-empty StopCodes text replaces the global stop codes when it
// holds valid ones (qch_udp.h).
class TQchReturnProbResponseMsg : public TQchServerMsg {
 public:
  // StopCodes starts as the bytes of the stop codes in force.
  TQchReturnProbResponseMsg(std::int32_t msgId, std::uint32_t version);
  TCategoryProbability Probabilities;
  std::string StopCodes;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

class TQchGetExternalIpResponseMsg : public TQchServerMsg {
 public:
  TQchGetExternalIpResponseMsg(std::int32_t msgId, std::uint32_t version)
      : TQchServerMsg(msgId, version) {
    MsgType = Qch_GetExternalIpResponse;
  }
  // The client's address as the service sees it (first byte lowest).
  std::int32_t Address = 0;
  int GetHeaderSize() const override;

 protected:
  void EncodeFields() override;
  bool DecodeFields() override;
};

// ---------------------------------------------------------------------------
// The factory

// A new object of the class of the type (1 to 18; replies with id 0 and
// version 0); none for any other type.
std::unique_ptr<TQchMsg> MakeQchMsg(std::uint8_t type);

// Takes the first frame off the front of the buffer and answers the message
// it holds. Nothing happens, and none is answered, while the buffer holds no
// whole frame or an invalid length (QchFrameState). A frame whose type (top
// bit cleared) is none of 1 to 18 is consumed, logged and answers none. The
// object is answered whatever its Decode said (Decoded() tells); the frame
// is consumed either way. Never raises: an error answers none with the
// buffer as it was.
std::unique_ptr<TQchMsg> CreateQchMsgFromStream(TQchBuffer& buffer);

}  // namespace halvorn
