// A message's DCC checksum record, the checksum types and target counts of
// the DCC protocol, and the binding of the checksum library that computes a
// message's body and fuzzy sums from its lines.
//
// The library is our own libSumtrak3.so (src/programs/sumtrak3), which the
// build puts beside the halvorn executable. Its sums are Halvorn's own, not
// the ones the public DCC servers count (see DccChecksumsArePublic): they
// tell messages apart on this machine (the spam-checksum list, the held-mail
// expiry, the central service's records) and nowhere else.
//
// The record is also the buffer the library's DccFinalize fills, so its
// layout is fixed: 20 slots of 28 bytes, 560 bytes in all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "foundation/crypto/md5.h"
#include "foundation/text/string_list.h"

namespace halvorn {

// ---------------------------------------------------------------------------
// Checksum types (the DCC protocol's numbering) and target counts

constexpr int DCC_CK_INVALID = 0;  // also marks a free slot
constexpr int DCC_CK_IP = 1;
constexpr int DCC_CK_ENV_FROM = 2;
constexpr int DCC_CK_FROM = 3;
constexpr int DCC_CK_SUB = 4;
constexpr int DCC_CK_MESSAGE_ID = 5;
constexpr int DCC_CK_RECEIVED = 6;
constexpr int DCC_CK_BODY = 7;
constexpr int DCC_CK_FUZ1 = 8;
constexpr int DCC_CK_FUZ2 = 9;
constexpr int DCC_CK_FUZ3 = 10;
constexpr int DCC_CK_FUZ4 = 11;
constexpr int DCC_CK_SRVR_ID = 12;
constexpr int DCC_CK_ENV_TO = 13;

// The special target counts; every other value is an ordinary count.
constexpr std::uint32_t DCC_TGTS_TOO_MANY = 0xFFFFF0;
constexpr std::uint32_t DCC_TGTS_OK = 0xFFFFF1;
constexpr std::uint32_t DCC_TGTS_OK2 = 0xFFFFF2;
constexpr std::uint32_t DCC_TGTS_DEL = 0xFFFFF3;
constexpr std::uint32_t DCC_TGTS_INVALID = 0x1000000;  // no count

// "DCC_CK_INVALID" ... "DCC_CK_ENV_TO" for 0 to 13, "NONEXISTANT TYPE" for
// any other value.
std::string DccChecksumTypeName(int type);

// One of the five special counts.
bool IsSpecialDccTargetCount(std::uint32_t count);
// The special count's name ("DCC_TGTS_TOO_MANY" ...), else the count in
// decimal.
std::string DccTargetCountText(std::uint32_t count);

// How count a ranks against b: 2 equal, 1 below, 0 above. Equal values rank
// equal; TOO_MANY ranks above anything else and OK below anything else; OK2
// ranks below OK only; DEL and INVALID rank equal to each other and below
// anything else but OK; ordinary counts rank below TOO_MANY, above the other
// special counts, and by their unsigned value among themselves.
int CompareDccTargetCounts(std::uint32_t a, std::uint32_t b);

// ---------------------------------------------------------------------------
// 16-byte sums

using TDigest16 = TMD5Digest;

void ClearDigest16(TDigest16& sum);
bool IsDigest16Empty(const TDigest16& sum);
bool SameDigest16(const TDigest16& a, const TDigest16& b);
// 32 lower-case hexadecimal digits, first byte first, high digit first (the
// form the side record keeps, "DccBody" ...).
std::string DigestToHex(const TDigest16& sum);
// Zeroes the sum, then reads up to 16 pairs of hexadecimal digits (either
// case) in order, stopping at the first pair that is not two such digits;
// the bytes not reached stay zero.
void HexToDigest(std::string_view text, TDigest16& sum);

// ---------------------------------------------------------------------------
// The record

// One slot. Type DCC_CK_INVALID (0) marks a free slot.
struct TDccSlot {
  std::uint32_t Unused = 0;       // not used by this program; zero
  std::uint32_t TargetCount = 0;  // a count or one of DCC_TGTS_*
  std::uint8_t Type = 0;          // DCC_CK_*
  std::uint8_t Unused2 = 0;       // not used by this program; zero
  TDigest16 Sum{};
  std::array<std::uint8_t, 2> Padding{};
};

constexpr int kDccSlotCount = 20;

// A plain value; a default-constructed record is cleared (560 zero bytes).
// Not thread-safe: the message's lock guards its record.
struct TDccChecksums {
  std::array<TDccSlot, kDccSlotCount> Slots{};
};

static_assert(std::is_standard_layout_v<TDccSlot> && std::is_trivially_copyable_v<TDccSlot>);
static_assert(std::has_unique_object_representations_v<TDccChecksums>,
              "no hidden padding: a cleared record is all zero bytes");
static_assert(offsetof(TDccSlot, Unused) == 0 && offsetof(TDccSlot, TargetCount) == 4 &&
              offsetof(TDccSlot, Type) == 8 && offsetof(TDccSlot, Unused2) == 9 &&
              offsetof(TDccSlot, Sum) == 10 && offsetof(TDccSlot, Padding) == 26);
static_assert(sizeof(TDccSlot) == 28 && sizeof(TDccChecksums) == 560);

// Sets all 560 bytes to zero.
void ClearDccRecord(TDccChecksums& record);
// The record equals a cleared one in all its bytes.
bool IsDccRecordEmpty(const TDccChecksums& record);

// The sum of the first slot, in slot order, whose type byte equals the type;
// 16 zero bytes when there is none.
void GetDccSum(int type, const TDccChecksums& record, TDigest16& sum);

// Stores the sum under the type: in the slot that holds the type when there
// is one; else in slot number `type` (counting from 0) when the type is at
// most 19 and that slot is free; else in the first free slot; nothing is
// stored when no slot is free. The slot's type byte and sum are set, its
// other fields kept. A type outside 1 to 255 is no checksum type (0 marks a
// free slot, a larger value would not fit the type byte): nothing is stored.
void SetDccSum(int type, const TDigest16& sum, TDccChecksums& record);

// The 1-based number of the first slot holding the type; 0 when none.
int IndexOfDccSum(int type, const TDccChecksums& record);

// The target count of the first slot holding the type; DCC_TGTS_INVALID when
// none.
std::uint32_t GetDccTargetCount(int type, const TDccChecksums& record);

// When the type is present, its first slot gets type 0, target count
// DCC_TGTS_INVALID and a zero sum, and the answer is true.
bool RemoveDccSum(int type, TDccChecksums& record);

// All 20 slots have equal type bytes and equal sums; target counts and the
// unused fields are not compared.
bool SameDccRecord(const TDccChecksums& a, const TDccChecksums& b);

// ---------------------------------------------------------------------------
// The checksum library

// False: the sums of our library are not DCC's, so a count the public DCC
// servers give for one means nothing, and a query would hand them digests of
// the user's mail for no use. While this answers false the DCC client sends
// nothing to an address outside 127.0.0.0/8 and leaves its built-in public
// servers unused.
constexpr bool DccChecksumsArePublic() {
  return false;
}

// The library's file name. It is looked for in the folder of the running
// program, then in the install folder.
constexpr const char* kDccLibraryFileName = "libSumtrak3.so";

// The library's exports (C calling convention; none raises). The context is
// a 32-bit value that DccInit fills and the other two receive; the library
// maps it to its own state. DccInit and DccFinalize answer 0 when they did
// their work; DccFinalize writes the computed sums into the 560-byte record
// and ends the computation.
using TDccInitFn = int (*)(std::uint32_t* context) noexcept;
using TDccChecksumLineFn = void (*)(const char* line, std::uint32_t context) noexcept;
using TDccFinalizeFn = int (*)(void* record, std::uint32_t* context) noexcept;

// Answers whether the library is loaded; when it is not, tries the program's
// folder, then the install folder. Once loaded it stays loaded until
// FreeDccLibrary. Safe from any thread.
bool LoadDccLibrary();

// Unloads the library when it is loaded. Waits for calls into it that other
// threads are making. Safe from any thread.
void FreeDccLibrary();

// Module start-up (once, after the utility module): forgets any loaded
// library and tries to load it once, logging when it cannot. Module end:
// FreeDccLibrary.
void StartDccChecksumsModule();
void EndDccChecksumsModule();

// The three calls. Each loads the library when needed and looks its export
// up by name at every call. Safe from any thread; a computation's context is
// used by one thread at a time.
//
// CallDccInit: DccInit with the address of the context; true when the call
// was made and succeeded.
bool CallDccInit(std::uint32_t& context);
// CallDccChecksumLine: DccChecksumLine with the line, each CR LF in it turned
// into LF and one LF added (an empty line is passed as a lone LF), as a
// zero-terminated text (so the library sees the line up to a zero byte in
// it), and the context. True when the call was made; false when the library
// or the export is missing.
bool CallDccChecksumLine(std::string_view line, std::uint32_t context);
// CallDccFinalize: DccFinalize with the address of the record and of the
// context; true when the call was made and succeeded.
bool CallDccFinalize(TDccChecksums& record, std::uint32_t& context);

// Computes the sums of a message from its lines (the raw backup's lines, or
// the message's own raw lines; without line ends): clears the record, starts
// a computation, feeds every line in order and finishes it into the record.
// False, with the record cleared, when the library or an export is missing
// or a call fails. A computation left by an exception is still ended, so the
// library lets go of its state. The caller (the message's DCC operation)
// loads the library first, answers for a message without lines, marks an
// absent Message-Id and sets the envelope-sender sum.
bool ComputeDccChecksums(const TStringList& lines, TDccChecksums& record);

// Test seam: the folder the library is looked for in first (empty: the
// running program's folder). Setting it unloads a loaded library.
void SetDccFolderForTests(const std::string& folder);

}  // namespace halvorn
