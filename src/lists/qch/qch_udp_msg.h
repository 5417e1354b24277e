// The central service's datagrams: a 20-byte header and data by kind.
//
// Header (little-endian 32-bit integers):
//   offset 0   Version   1 on creation
//   offset 3   Kind
//   offset 7   Encoding  0
//   offset 11  UserId    the program's user id at creation
//   offset 15  QueryId   random, 0 to 2147483646
//   offset 19  one byte without a field; data from offset 20
// Version and Kind overlap in byte 3: Kind is written after Version, so the
// version read back has the kind's low byte as its high byte (a kind-1
// datagram reads back version 16777217). The service reads these offsets.
//
// Kinds: 1 stop codes (from the service); 2 and 3 defined by nobody; 4 to 6
// a message's standard-test results (compressed trites: "!" + CompressText)
// after processing, on a personal and on a spam categorisation; 7 to 9 its
// per-test result text on the same three occasions.
//
// Objects own their bytes and nothing else; one thread uses one object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace halvorn {

inline constexpr int kQchUdpVersionOffset = 0;
inline constexpr int kQchUdpKindOffset = 3;
inline constexpr int kQchUdpEncodingOffset = 7;
inline constexpr int kQchUdpUserIdOffset = 11;
inline constexpr int kQchUdpQueryIdOffset = 15;
inline constexpr int kQchUdpHeaderSize = 20;

enum TQchUdpKind : std::int32_t {
  kQchUdpStopCodes = 1,
  kQchUdpTranscript = 2,
  kQchUdpQchMsg = 3,
  kQchUdpTestsDone = 4,
  kQchUdpTestsCatPers = 5,
  kQchUdpTestsCatSpam = 6,
  kQchUdpStatDataDone = 7,
  kQchUdpStatDataCatPers = 8,
  kQchUdpStatDataCatSpam = 9,
};

// A datagram.
class TQchUdpMsg {
 public:
  // 20 bytes: Version 1, Kind 0, Encoding 0, UserId the program's (0 when
  // none), QueryId drawn at random.
  TQchUdpMsg();
  // A copy of received bytes, taken as they are.
  explicit TQchUdpMsg(std::string bytes) : FBytes(std::move(bytes)) {}
  virtual ~TQchUdpMsg() = default;
  TQchUdpMsg(const TQchUdpMsg&) = default;
  TQchUdpMsg& operator=(const TQchUdpMsg&) = default;

  const std::string& Bytes() const { return FBytes; }

  // The little-endian integer at the offset; 0 when the datagram is shorter
  // than offset + 4.
  std::int32_t GetInt(int offset) const;
  // Writes it, growing the datagram to offset + 4 bytes first when shorter.
  void SetInt(int offset, std::int32_t value);
  // Bit i is bit i mod 8 (from the lowest) of byte i div 8; false beyond the
  // end.
  bool GetBit(int i) const;
  // Sets or clears it, growing the datagram to i div 8 + 1 bytes first.
  void SetBit(int i, bool value);
  // Length minus 20 (negative for a short received datagram).
  int GetDataSize() const;
  // Sets the length to n + 20 (new bytes zero).
  void SetDataSize(int n);
  // The bytes from offset 20 on.
  std::string GetData() const;

  std::int32_t Kind() const { return GetInt(kQchUdpKindOffset); }
  std::int32_t UserId() const { return GetInt(kQchUdpUserIdOffset); }

  // "Version=", "Kind=", "Encoding=", "UserId=", "QueryId=" and "DataSize="
  // lines with decimal values, joined by CR LF.
  virtual std::string DumpText() const;
  // Writes and reads back every field, then puts the bytes back. True when
  // all held; raises std::runtime_error naming the class and the check that
  // failed otherwise.
  virtual bool SelfTest();

 protected:
  virtual const char* ClassName() const { return "TQchUdpMsg"; }
  // The self-test's failure.
  [[noreturn]] void SelfTestFailed(const std::string& what) const;

  std::string FBytes;
};

// The stop codes (kind 1, 68 bytes): which reports to send, and whether over
// UDP or TCP.
class TStopCodesQchUdpMsg : public TQchUdpMsg {
 public:
  // The report switches (bits) and pacing integers (offsets).
  static constexpr int kRepStandTestArrayOnDoneProcessing = 160;
  static constexpr int kRepStandTestArrayOnCatPers = 161;
  static constexpr int kRepStandTestArrayOnCatSpam = 162;
  static constexpr int kRepQuorTestStatDataOnDoneProcessing = 163;
  static constexpr int kRepQuorTestStatDataOnCatSpam = 164;
  static constexpr int kRepQuorTestStatDataOnCatPers = 165;
  static constexpr int kRepStandTestArrayOnDoneProcessingUDP = 166;
  static constexpr int kRepStandTestArrayOnCatPersUDP = 167;
  static constexpr int kRepStandTestArrayOnCatSpamUDP = 168;
  static constexpr int kRepQuorStatDataOnDoneProcessingUDP = 169;
  static constexpr int kRepQuorStatDataOnCatSpamUDP = 170;
  static constexpr int kRepQuorStatDataOnCatPersUDP = 171;
  // Ask for category probabilities in reply to a TCP test report.
  static constexpr int kReturnProbOnTestReport = 172;
  static constexpr int kTransUdpMinOffset = 23;
  static constexpr int kTransUdpErrorMinOffset = 27;
  static constexpr int kTransUdpSmartPastOffset = 31;
  static constexpr int kTransUdpSmartFutureOffset = 35;
  static constexpr int kSize = 68;
  // The shortest received stop codes that carry every field (up to the last
  // integer); shorter ones are not taken.
  static constexpr int kMinReceivedSize = 39;

  // The defaults: UDP switches and the categorisation reports of the result
  // text on, the rest off; TransUdpMin and TransUdpErrorMin 11,
  // TransUdpSmartPast 50, TransUdpSmartFuture 20.
  TStopCodesQchUdpMsg();
  explicit TStopCodesQchUdpMsg(std::string bytes) : TQchUdpMsg(std::move(bytes)) {}

  std::int32_t TransUdpMin() const { return GetInt(kTransUdpMinOffset); }
  std::int32_t TransUdpErrorMin() const { return GetInt(kTransUdpErrorMinOffset); }
  std::int32_t TransUdpSmartPast() const { return GetInt(kTransUdpSmartPastOffset); }
  std::int32_t TransUdpSmartFuture() const { return GetInt(kTransUdpSmartFutureOffset); }
  // TransUdpMin or TransUdpErrorMin is below 11.
  bool TransSendSomeUdp() const;
  // TransUdpSmartPast or TransUdpSmartFuture is above 0.
  bool TransSmartUdp() const;
  // TransUdpMin and TransUdpErrorMin back to 11.
  void ResetTransUdpMin();
  // TransUdpSmartPast 50 and TransUdpSmartFuture 20.
  void ResetTransUdpSmart();

  // The base dump, then the twelve switches 160 to 171 by name ("True" or
  // "False"), TransSendSomeUdp, TransSmartUdp and the four integers.
  std::string DumpText() const override;
  bool SelfTest() override;

 protected:
  const char* ClassName() const override { return "TStopCodesQchUdpMsg"; }
};

// A datagram whose data is one text (kinds 4 to 9).
class TStringQchUdpMsg : public TQchUdpMsg {
 public:
  TStringQchUdpMsg() = default;
  explicit TStringQchUdpMsg(std::string bytes) : TQchUdpMsg(std::move(bytes)) {}

  std::string GetText() const { return GetData(); }
  // Keeps the first 20 bytes and puts the text after them.
  void SetText(std::string_view text);

  bool SelfTest() override;

 protected:
  const char* ClassName() const override { return "TStringQchUdpMsg"; }
};

// A report datagram of the kind (4 to 9) holding the text.
std::unique_ptr<TStringQchUdpMsg> MakeQchUdpReport(TQchUdpKind kind, std::string_view text);

// A new datagram object of the class its Kind (offset 3) calls for, holding a
// copy of the bytes: kind 1 stop codes, 2 and 3 the base class (with a
// transcript line saying the kind is not implemented), 4 to 9 a text
// datagram. None for any other kind (a datagram shorter than 7 bytes reads as
// kind 0), after the transcript line "read unknown message type".
std::unique_ptr<TQchUdpMsg> QchUdpParse(std::string_view bytes);

}  // namespace halvorn
