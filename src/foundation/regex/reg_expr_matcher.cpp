// The matcher of TRegExpr: a backtracking machine over the compiled program
// whose choice points and undo records live in one heap vector.
//
// Every change of matcher state that a later failure must take back (a group
// bound, a loop's counter) pushes the old value first; failing pops frames,
// restoring state, until a choice point resumes. So the depth of native
// recursion is constant, whatever the text or the pattern.
#include <algorithm>
#include <cstring>

#include "foundation/text/code_page_1252.h"
#include "foundation/regex/reg_expr.h"
#include "foundation/regex/reg_expr_program.h"

namespace halvorn::regexpr_internal {
namespace {

enum FrameKind : std::uint8_t {
  kChoice,       // resume at instruction Id, position A
  kOpenUndo,     // group Id's pending start was A
  kCaptureUndo,  // group Id's bounds were A, B
  kLoopUndo,     // loop Id's counter was A, its iteration start B
  kGreedy,       // repeat at Id may give back bytes down to A; now at B
  kLazy,         // repeat at Id started at A and may take more; now at B
};

class Machine {
 public:
  Machine(const Program& program, std::string_view input, MatchScratch& scratch)
      : Prog(program),
        Code(program.Code.data()),
        S(reinterpret_cast<const unsigned char*>(input.data())),
        Len(static_cast<std::int32_t>(input.size())),
        Sc(scratch),
        Budget(kStepBudgetBase + kStepBudgetPerByte * static_cast<std::int64_t>(input.size())),
        MaxFrames(std::min(kMaxFrames, std::max(kMinFrameLimit, kFramesPerByte * input.size()))) {}

  int Search(std::int32_t from, StartScans scans) {
    Sc.LoopCount.assign(Prog.LoopCount, -1);
    Sc.LoopStart.assign(Prog.LoopCount, -1);
    if (scans == StartScans::Off) {
      for (std::int32_t start = from; start <= Len; ++start)
        if (int r = Run(start)) return r;
      return 0;
    }
    if (Prog.Anchor == StartAnchor::InputStart) {
      if (from != 0 || !Fits(0) || !RequiredFits(0)) return 0;
      return Run(0);
    }
    for (std::int32_t start = from;; ++start) {
      start = NextCandidate(start);
      if (start < 0 || !RequiredFits(start)) return 0;
      const std::int32_t set = Code[1].A;
      if (Prog.RunBeforeRequired) {
        // Only a start whose run of repeated bytes reaches the required
        // text can match: move on to the first such start.
        auto runStart = static_cast<std::int32_t>(RequiredAt);
        while (runStart > start && InSet(set, S[runStart - 1])) --runStart;
        if (runStart > start) {
          start = runStart - 1;
          continue;
        }
      }
      if (int r = Run(start)) return r;
      if (Prog.LeadingRun) {
        // Every start inside this one's run of repeated bytes would try a
        // subset of the same repeat ends, with the same rest of the pattern.
        while (start < Len && InSet(set, S[start])) ++start;
      }
    }
  }

 private:
  // ---- start-up scans: each rules out only positions where no match can
  // start, and none of them counts against the step budget ----

  // The first position from `p` on that passes every test of where a match
  // can start, or -1.
  std::int32_t NextCandidate(std::int32_t p) const {
    std::int32_t shortest = static_cast<std::int32_t>(Prog.Prefix.size());
    if (shortest == 0 && Prog.FirstSet >= 0) shortest = 1;
    const std::int32_t last = Len - shortest;
    const ByteFilter& filter = Prog.StartFilter;
    // A probe of the byte before the position cannot look at position 0.
    std::int32_t filterFrom = 0;
    for (int i = 0; i < filter.Count; ++i)
      filterFrom = std::max(filterFrom, -filter.Probes[i].Offset);
    for (; p <= last; ++p) {
      if (filter.Count > 0 && p >= filterFrom) {
        p = FindFiltered(filter, S, p, last);
        if (p < 0) return -1;
      }
      if (Fits(p)) return p;
    }
    return -1;
  }

  // Whether a match may start at `p` as far as its first bytes and its anchor
  // tell.
  bool Fits(std::int32_t p) const {
    const std::size_t n = Prog.Prefix.size();
    if (p + static_cast<std::int64_t>(n) > Len) return false;
    for (std::size_t k = 0; k < n; ++k)
      if (!Prog.Prefix[k].Has(S[p + k])) return false;
    if (Prog.FirstSet >= 0 && (p >= Len || !Prog.Sets[Prog.FirstSet].Has(S[p]))) return false;
    return Prog.Anchor != StartAnchor::LineStart || AtLineStart(p);
  }

  // Whether the required text occurs where a match starting at `start`
  // would hold it. False means no match starts at `start` or later.
  bool RequiredFits(std::int32_t start) {
    const RequiredText& req = Prog.Required;
    if (req.Bytes.empty()) return true;
    const std::int64_t need = std::int64_t{start} + req.MinOffset;
    if (RequiredAt >= need) return true;
    const std::int64_t last = std::int64_t{Len} - static_cast<std::int64_t>(req.Bytes.size());
    for (std::int64_t q = need; q <= last; ++q) {
      q = FindFiltered(req.Filter, S, static_cast<std::int32_t>(q), static_cast<std::int32_t>(last));
      if (q < 0) break;
      if (HoldsRequired(static_cast<std::int32_t>(q))) {
        RequiredAt = q;
        return true;
      }
    }
    return false;
  }

  bool HoldsRequired(std::int32_t q) const {
    const RequiredText& req = Prog.Required;
    const std::size_t n = req.Bytes.size();
    if (!req.Folded) return std::memcmp(S + q, req.Bytes.data(), n) == 0;
    for (std::size_t k = 0; k < n; ++k) {
      const char c = static_cast<char>(S[q + k]);
      if (c != req.Bytes[k] && c != req.Other[k]) return false;
    }
    return true;
  }

  bool IsSep(std::int32_t p) const { return Prog.LineSeparators.Has(S[p]); }
  bool InsidePair(std::int32_t p) const {
    return Prog.HasPair && p > 0 && p < Len && S[p - 1] == Prog.Pair0 && S[p] == Prog.Pair1;
  }
  bool AtLineStart(std::int32_t p) const {
    if (p == 0) return true;
    if (IsSep(p - 1) && !InsidePair(p)) return true;
    return Prog.HasPair && p >= 2 && S[p - 2] == Prog.Pair0 && S[p - 1] == Prog.Pair1;
  }
  bool AtLineEnd(std::int32_t p) const {
    if (p == Len) return true;
    if (IsSep(p) && !InsidePair(p)) return true;
    return Prog.HasPair && p + 1 < Len && S[p] == Prog.Pair0 && S[p + 1] == Prog.Pair1;
  }

  bool Push(FrameKind kind, std::int32_t id, std::int32_t a, std::int32_t b) {
    if (Sc.Stack.size() >= MaxFrames) return false;
    Sc.Stack.push_back(Frame{kind, id, a, b});
    return true;
  }

  bool InSet(std::int32_t setIndex, unsigned char c) const {
    return setIndex < 0 || Prog.Sets[setIndex].Has(c);
  }

  // 1 match, 0 no match at this start, else an error code.
  int Run(std::int32_t start) {
    auto& st = Sc.Stack;
    st.clear();
    for (int g = 0; g <= Prog.GroupCount; ++g) Sc.Start[g] = Sc.End[g] = Open[g] = -1;
    std::int32_t pc = 1;
    std::int32_t pos = start;
    for (;;) {
      if (++Steps > Budget) return kRegExprStepLimitError;
      const Inst& in = Code[pc];
      switch (in.Code) {
        case Op::Char:
          if (pos < Len && S[pos] == static_cast<unsigned char>(in.A)) {
            ++pos;
            ++pc;
            continue;
          }
          goto fail;
        case Op::String:
          if (Len - pos >= in.B && std::memcmp(S + pos, Prog.Pool.data() + in.A, in.B) == 0) {
            pos += in.B;
            ++pc;
            continue;
          }
          goto fail;
        case Op::StringI: {
          if (Len - pos < in.B) goto fail;
          const unsigned char* p = reinterpret_cast<const unsigned char*>(Prog.Pool.data()) + in.A;
          for (std::int32_t k = 0; k < in.B; ++k) {
            unsigned char c = S[pos + k];
            if (c != p[2 * k] && c != p[2 * k + 1]) goto fail;
          }
          pos += in.B;
          ++pc;
          continue;
        }
        case Op::Any:
          if (pos < Len) {
            ++pos;
            ++pc;
            continue;
          }
          goto fail;
        case Op::Class:
          if (pos < Len && Prog.Sets[in.A].Has(S[pos])) {
            ++pos;
            ++pc;
            continue;
          }
          goto fail;
        case Op::Bol:
        case Op::Boi:
          if (pos != 0) goto fail;
          ++pc;
          continue;
        case Op::Eol:
        case Op::Eoi:
          if (pos != Len) goto fail;
          ++pc;
          continue;
        case Op::BolM:
          if (!AtLineStart(pos)) goto fail;
          ++pc;
          continue;
        case Op::EolM:
          if (!AtLineEnd(pos)) goto fail;
          ++pc;
          continue;
        case Op::Open:
          // Unchanged values need no undo record (a loop of empty turns
          // would otherwise fill the stack with them).
          if (Open[in.A] != pos && !Push(kOpenUndo, in.A, Open[in.A], 0))
            return kRegExprBacktrackLimitError;
          Open[in.A] = pos;
          ++pc;
          continue;
        case Op::Close:
          if ((Sc.Start[in.A] != Open[in.A] || Sc.End[in.A] != pos) &&
              !Push(kCaptureUndo, in.A, Sc.Start[in.A], Sc.End[in.A]))
            return kRegExprBacktrackLimitError;
          Sc.Start[in.A] = Open[in.A];
          Sc.End[in.A] = pos;
          ++pc;
          continue;
        case Op::Backref:
        case Op::BackrefI: {
          std::int32_t gs = Sc.Start[in.A], ge = Sc.End[in.A];
          if (gs < 0 || ge < gs) goto fail;
          std::int32_t n = ge - gs;
          if (Len - pos < n) goto fail;
          if (in.Code == Op::Backref) {
            if (std::memcmp(S + gs, S + pos, n) != 0) goto fail;
          } else {
            for (std::int32_t k = 0; k < n; ++k)
              if (!SameFolded(S[gs + k], S[pos + k])) goto fail;
          }
          pos += n;
          ++pc;
          continue;
        }
        case Op::Alt:
          if (in.Hint >= 0 && (pos >= Len || !Prog.Sets[in.Hint].Has(S[pos]))) {
            pc = in.B;
            continue;
          }
          if (!Push(kChoice, in.B, pos, 0)) return kRegExprBacktrackLimitError;
          pc = in.A;
          continue;
        case Op::Jmp:
          pc = in.A;
          continue;
        case Op::Repeat: {
          std::int32_t avail = Len - pos;
          if (in.Greedy) {
            std::int32_t limit = avail < in.Max ? avail : in.Max;
            std::int32_t n = 0;
            if (in.A < 0) {
              n = limit;
            } else {
              const CharSet& set = Prog.Sets[in.A];
              while (n < limit && set.Has(S[pos + n])) ++n;
            }
            if (n < in.Min) goto fail;
            std::int32_t lo = pos + in.Min, p = pos + n;
            if (in.Hint >= 0) {
              const CharSet& hint = Prog.Sets[in.Hint];
              while (p >= lo && (p >= Len || !hint.Has(S[p]))) --p;
              if (p < lo) goto fail;
            }
            if (p > lo && !Push(kGreedy, pc, lo, p)) return kRegExprBacktrackLimitError;
            pos = p;
            ++pc;
            continue;
          }
          if (avail < in.Min) goto fail;
          for (std::int32_t k = 0; k < in.Min; ++k)
            if (!InSet(in.A, S[pos + k])) goto fail;
          std::int32_t p = pos + in.Min;
          if (in.Hint >= 0 && !LazyAdvance(in, pos, p)) goto fail;
          if (p - pos < in.Max && !Push(kLazy, pc, pos, p)) return kRegExprBacktrackLimitError;
          pos = p;
          ++pc;
          continue;
        }
        case Op::LoopInit: {
          if (in.Depth > kMaxLoopDepth) return 1014;
          if (!Push(kLoopUndo, in.A, Sc.LoopCount[in.A], Sc.LoopStart[in.A]))
            return kRegExprBacktrackLimitError;
          Sc.LoopCount[in.A] = 0;
          Sc.LoopStart[in.A] = pos;
          if (!LoopDecide(in, 0, pos, pc)) return kRegExprBacktrackLimitError;
          continue;
        }
        case Op::LoopTail: {
          std::int32_t count = Sc.LoopCount[in.A];
          if (count < 0) return 1015;
          bool empty = pos == Sc.LoopStart[in.A];
          if (!Push(kLoopUndo, in.A, count, Sc.LoopStart[in.A])) return kRegExprBacktrackLimitError;
          Sc.LoopCount[in.A] = ++count;
          Sc.LoopStart[in.A] = pos;
          if (empty && count >= in.Min) {
            // Another optional turn after one that consumed nothing would
            // repeat forever: the loop ends here. Required turns still run
            // one by one, as written-out copies of the body would.
            pc = in.C;
            continue;
          }
          if (!LoopDecide(in, count, pos, pc)) return kRegExprBacktrackLimitError;
          continue;
        }
        case Op::Match:
          Sc.Start[0] = start;
          Sc.End[0] = pos;
          return 1;
        default:
          return 1001;
      }

    fail:
      for (;;) {
        if (st.empty()) return 0;
        Frame& f = st.back();
        switch (f.Kind) {
          case kChoice:
            pc = f.Id;
            pos = f.A;
            st.pop_back();
            goto resumed;
          case kOpenUndo:
            Open[f.Id] = f.A;
            st.pop_back();
            continue;
          case kCaptureUndo:
            Sc.Start[f.Id] = f.A;
            Sc.End[f.Id] = f.B;
            st.pop_back();
            continue;
          case kLoopUndo:
            Sc.LoopCount[f.Id] = f.A;
            Sc.LoopStart[f.Id] = f.B;
            st.pop_back();
            continue;
          case kGreedy: {
            const Inst& r = Code[f.Id];
            std::int32_t p = f.B - 1;
            if (r.Hint >= 0) {
              const CharSet& hint = Prog.Sets[r.Hint];
              while (p >= f.A && (p >= Len || !hint.Has(S[p]))) --p;
            }
            if (p < f.A) {
              st.pop_back();
              continue;
            }
            pc = f.Id + 1;
            pos = p;
            if (p == f.A)
              st.pop_back();
            else
              f.B = p;
            goto resumed;
          }
          case kLazy: {
            const Inst& r = Code[f.Id];
            std::int32_t p = f.B;
            if (p >= Len || p - f.A >= r.Max || !InSet(r.A, S[p])) {
              st.pop_back();
              continue;
            }
            ++p;
            if (r.Hint >= 0 && !LazyAdvance(r, f.A, p)) {
              st.pop_back();
              continue;
            }
            pc = f.Id + 1;
            pos = p;
            if (p - f.A >= r.Max)
              st.pop_back();
            else
              f.B = p;
            goto resumed;
          }
          default:
            return 1002;
        }
      }
    resumed:
      if (++Steps > Budget) return kRegExprStepLimitError;
    }
  }

  // Moves a non-greedy repeat that started at `from` and stands at `p` on to
  // the first place where the byte after it can follow. False when there is
  // none within the repeat's reach.
  bool LazyAdvance(const Inst& r, std::int32_t from, std::int32_t& p) const {
    const CharSet& hint = Prog.Sets[r.Hint];
    for (;;) {
      if (p < Len && hint.Has(S[p])) return true;
      if (p >= Len || p - from >= r.Max || !InSet(r.A, S[p])) return false;
      ++p;
    }
  }

  // Chooses between another turn of a loop and leaving it, after `count`
  // turns. Sets pc; false when the backtracking stack is full.
  bool LoopDecide(const Inst& in, std::int32_t count, std::int32_t pos, std::int32_t& pc) {
    if (count < in.Min) {
      pc = in.B;
      return true;
    }
    if (count >= in.Max) {
      pc = in.C;
      return true;
    }
    if (in.Greedy) {
      if (!Push(kChoice, in.C, pos, 0)) return false;
      pc = in.B;
    } else {
      if (!Push(kChoice, in.B, pos, 0)) return false;
      pc = in.C;
    }
    return true;
  }

  static bool SameFolded(unsigned char a, unsigned char b) {
    return a == b || UpperChar1252(a) == UpperChar1252(b) || LowerChar1252(a) == LowerChar1252(b);
  }

  const Program& Prog;
  const Inst* Code;
  const unsigned char* S;
  std::int32_t Len;
  MatchScratch& Sc;
  std::int64_t Budget;
  std::size_t MaxFrames;
  std::int64_t Steps = 0;
  std::int64_t RequiredAt = -1;  // where the required text was last found
  std::int32_t Open[15];
};

}  // namespace

int Search(const Program& program, std::string_view input, int from, MatchScratch& scratch,
           StartScans scans) {
  Machine m(program, input, scratch);
  return m.Search(from, scans);
}

}  // namespace halvorn::regexpr_internal
