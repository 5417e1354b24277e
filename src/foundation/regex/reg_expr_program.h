// Inside TRegExpr: the compiled program, the compiler's entry point and the
// matcher. Only reg_expr*.cpp include this.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvorn::regexpr_internal {

// A set of bytes.
struct CharSet {
  std::uint64_t Bits[4] = {0, 0, 0, 0};

  bool Has(unsigned char c) const { return (Bits[c >> 6] >> (c & 63)) & 1; }
  void Add(unsigned char c) { Bits[c >> 6] |= std::uint64_t{1} << (c & 63); }
  void AddRange(int from, int to) {
    for (int c = from; c <= to; ++c) Add(static_cast<unsigned char>(c));
  }
  void Merge(const CharSet& o) {
    for (int i = 0; i < 4; ++i) Bits[i] |= o.Bits[i];
  }
  void Invert() {
    for (auto& w : Bits) w = ~w;
  }
  bool Empty() const { return (Bits[0] | Bits[1] | Bits[2] | Bits[3]) == 0; }
  bool Full() const { return (Bits[0] & Bits[1] & Bits[2] & Bits[3]) == ~std::uint64_t{0}; }
  int Count() const;
  bool operator==(const CharSet& o) const = default;
};

enum class Op : std::uint8_t {
  Magic,     // first instruction of every program: its check byte
  Match,     // success
  Char,      // A = the byte
  String,    // Pool[A .. A+B)
  StringI,   // B bytes, each matching Pool[A+2k] or Pool[A+2k+1]
  Any,       // any byte
  Class,     // Sets[A]
  Bol,       // start of the input
  BolM,      // start of the input or of a line
  Eol,       // end of the input
  EolM,      // end of the input or of a line
  Boi,       // \A
  Eoi,       // \Z
  Open,      // group A starts here
  Close,     // group A ends here
  Backref,   // the text of group A
  BackrefI,  // the same, case folded
  Alt,       // try A, then B; Hint: bytes that can start branch A (-1 any)
  Jmp,       // go to A
  Repeat,    // Sets[A] (-1: any byte) Min..Max times; Hint: set of the byte after
  LoopInit,  // loop A: body at B, exit at C; counted (braces) depth in Depth
  LoopTail,  // end of loop A's body
};

struct Inst {
  Op Code = Op::Match;
  bool Greedy = true;
  std::int32_t A = 0;
  std::int32_t B = 0;
  std::int32_t C = 0;
  std::int32_t Min = 0;
  std::int32_t Max = 0;
  std::int32_t Hint = -1;
  std::int32_t Depth = 0;
};

// Where a search may start.
enum class StartAnchor : std::uint8_t { None, InputStart, LineStart };

// One byte test of a start-up scan: the byte at Offset from a candidate
// position must be in Set. The vector scan tests it either as
// (byte | OrMask) == Equal, when Set is that simple, or through two 16-entry
// tables indexed by the byte's low and high nibble, whose entries share a bit
// exactly for the bytes of Set.
struct ByteProbe {
  std::int32_t Offset = 0;
  CharSet Set;
  bool Masked = false;
  unsigned char OrMask = 0, Equal = 0;
  unsigned char LowNibble[16] = {};
  unsigned char HighNibble[16] = {};
};

// Up to two byte probes that every wanted position passes: a cheap filter
// run ahead of the exact test of a candidate. Count 0: no filter.
struct ByteFilter {
  int Count = 0;
  ByteProbe Probes[2];
};

// A text every match holds, at least MinOffset bytes after the match's
// start. Under i its bytes come in pairs: Bytes[k] or Other[k] matches.
struct RequiredText {
  std::string Bytes;
  std::string Other;  // equal to Bytes without case folding
  bool Folded = false;
  std::int32_t MinOffset = 0;
  ByteFilter Filter;  // finds candidates for its place in a text
};

struct Program {
  std::vector<Inst> Code;
  std::vector<CharSet> Sets;
  std::string Pool;
  int GroupCount = 0;
  int LoopCount = 0;
  // Start skipping, each fact true of every match: the bytes that can begin
  // it (FirstSet < 0: any, or the pattern can match empty), an anchor, the
  // bytes at each fixed offset from its start (Prefix[k] for offset k; the
  // match is at least Prefix.size() long), a filter that finds positions
  // passing the most telling of those tests (offset -1 stands for "just
  // after a line end" under a line-start anchor), and a text it holds.
  int FirstSet = -1;
  StartAnchor Anchor = StartAnchor::None;
  std::vector<CharSet> Prefix;
  ByteFilter StartFilter;
  RequiredText Required;
  // The program begins with an unbounded repeat of single bytes and nothing
  // after it depends on where the match started: when a search from one
  // start fails, a start inside that start's run of repeated bytes fails too.
  bool LeadingRun = false;
  // Besides, the required text directly follows that repeat and cannot begin
  // with one of its bytes: a match's run ends right where the text begins.
  bool RunBeforeRequired = false;
  // Line handling fixed when the program was built.
  CharSet LineSeparators;
  bool HasPair = false;
  unsigned char Pair0 = 0, Pair1 = 0;
};

// Nested counted repetitions deeper than this raise 1014 when reached.
inline constexpr int kMaxLoopDepth = 10;
// Capturing groups a pattern may have.
inline constexpr int kMaxGroups = 14;

struct CompileError {
  int Code = 0;      // 0 when the program was built
  int Position = 0;  // 1-based place in the pattern
};

// Builds the program of `pattern` under `modifiers` (TRegExpr's bits).
CompileError CompileProgram(std::string_view pattern, int modifiers,
                            std::string_view pairedSeparator, Program& out);

// Reusable heap state of the matcher.
struct Frame {
  std::uint8_t Kind;
  std::int32_t Id;
  std::int32_t A;
  std::int32_t B;
};

struct MatchScratch {
  std::vector<Frame> Stack;
  std::vector<std::int32_t> LoopCount;
  std::vector<std::int32_t> LoopStart;
  std::int32_t Start[15];
  std::int32_t End[15];
};

// Step budget of one search: a fixed part and a part per input byte.
inline constexpr std::int64_t kStepBudgetBase = 10'000'000;
inline constexpr std::int64_t kStepBudgetPerByte = 100;
// Saved backtracking frames one search may hold (16 bytes each): a number
// per input byte, at least kMinFrameLimit, at most kMaxFrames. Ordinary
// patterns need a few per byte at most.
inline constexpr std::size_t kMaxFrames = std::size_t{1} << 24;
inline constexpr std::size_t kMinFrameLimit = std::size_t{1} << 20;
inline constexpr std::size_t kFramesPerByte = 32;

// Searches `input` from the 0-based `from`. Returns 1 on a match (captures
// in scratch.Start / End, 0-based, end exclusive, -1 unset), 0 when there is
// none, or an error code of TRegExpr's table.
//
// The start-up scans (StartScans) only pass over positions where no match
// can start, and never count against the step budget, so they never change
// the match found: the same search without them tries every position in
// turn, which tests compare against.
enum class StartScans : std::uint8_t { On, Off };
int Search(const Program& program, std::string_view input, int from, MatchScratch& scratch,
           StartScans scans = StartScans::On);

// ---- start-up scans (reg_expr_scan.cpp) ----

// The filter of up to two of `tests` (offset, bytes) that rules out the most
// positions of ordinary mail text. Unless `evenIfCommon`, one with Count 0
// when none of them is rare enough to be worth a scan.
ByteFilter ChooseByteFilter(const std::vector<std::pair<std::int32_t, CharSet>>& tests,
                            bool evenIfCommon);

// The first position q in [from, last] where every probe of `filter` (Count
// at least 1) has its byte at text[q + Offset], or -1. The caller keeps
// q + Offset inside the text for every q in the range.
std::int32_t FindFiltered(const ByteFilter& filter, const unsigned char* text, std::int32_t from,
                          std::int32_t last);

}  // namespace halvorn::regexpr_internal
