// Pattern parser and program builder of TRegExpr.
//
// The pattern is parsed into a small tree, the tree is checked and analysed
// (can a part match empty, which bytes can start it, which text every match
// holds) and then flattened into the instruction list the matcher runs.
//
// Parsing recurses only into capturing groups, and a pattern has at most 14
// of them (the 15th "(" is error 102), so the native stack stays shallow
// whatever the pattern.
//
// Errors the dialect names, and what raises them here:
//   102  a 15th capturing group
//   103  a "(" whose ")" is missing
//   104  a ")" without its "("
//   106  "*" or "+" (greedy or not) on an operand that can match the empty
//        text: a group or alternation that can be empty, an anchor, a
//        back-reference to a group that can be empty or is not closed yet.
//        Counted repeats "{n,m}" accept such operands: their required
//        turns run one by one, and the loop ends once a turn beyond them
//        consumed nothing.
//   107  a quantifier directly after another quantifier ("a**", "a+*",
//        "a{2}{3}", "a*??"); the "?" right after a quantifier is its
//        non-greedy form, not a second quantifier.
//   108  a character that is not a hexadecimal digit in \xhh or \x{...}
//   109  a class range whose end is below its start
//   110  a "\" at the very end of the pattern
//   111  \x at the end of the pattern, \x{} or an unclosed \x{..., or only
//        one digit left for \xhh
//   112  \x{...} above FF
//   113  a "[" whose "]" is missing
//   115  "*", "+", "?" or a well-formed "{n,m}" with nothing to repeat: at the
//        start of the pattern, after "(" or "|", or after a comment or a
//        modifier group
//   116  a "\" at the end of the pattern inside a class
//   122  a repeat count of more than 8 digits
//   124  "{n,m}" with m below n
//   125  "(?#" without its ")"
//   127  "(?" followed by anything but modifier letters, "-" and ")"
//   101  a program beyond the size the matcher can address
#include "foundation/regex/reg_expr.h"
#include "foundation/regex/reg_expr_program.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace halvorn::regexpr_internal {

int CharSet::Count() const {
  int n = 0;
  for (auto w : Bits) n += __builtin_popcountll(w);
  return n;
}

namespace {

constexpr std::int32_t kInfinite = INT32_MAX;
constexpr std::size_t kMaxInstructions = std::size_t{1} << 26;

enum class NodeKind : std::uint8_t {
  Empty,
  Char,
  Set,
  Any,
  Bol,
  BolM,
  Eol,
  EolM,
  Boi,
  Eoi,
  Backref,
  Group,
  Concat,
  Alt,
  Repeat,
};

struct Node {
  NodeKind Kind = NodeKind::Empty;
  unsigned char Ch = 0;
  unsigned char ChOther = 0;  // the other case of Ch under i, else Ch
  bool ICase = false;         // Backref: compare folded
  int SetIndex = -1;
  int Group = 0;
  bool RefNullable = true;  // Backref: may match the empty text
  std::int32_t Min = 0, Max = 0;
  bool Greedy = true;
  bool Braces = false;
  std::vector<int> Kids;
};

struct First {
  CharSet Set;
  bool Nullable = false;
};

struct Abort {};

CharSet SpaceSet() {
  CharSet s;
  for (unsigned char c : {' ', '\t', '\n', '\r', '\f'}) s.Add(c);
  return s;
}

CharSet DigitSet() {
  CharSet s;
  s.AddRange('0', '9');
  return s;
}

CharSet WordSet() {
  CharSet s;
  s.AddRange('0', '9');
  s.AddRange('a', 'z');
  s.AddRange('A', 'Z');
  s.Add('_');
  return s;
}

int ModifierBit(char c) {
  switch (c) {
    case 'i':
    case 'I':
      return TRegExpr::kModI;
    case 'r':
    case 'R':
      return TRegExpr::kModR;
    case 's':
    case 'S':
      return TRegExpr::kModS;
    case 'g':
    case 'G':
      return TRegExpr::kModG;
    case 'm':
    case 'M':
      return TRegExpr::kModM;
    case 'x':
    case 'X':
      return TRegExpr::kModX;
    default:
      return 0;
  }
}

unsigned char OtherCase(unsigned char c) {
  unsigned char u = UpperChar1252(c);
  if (u != c) return u;
  return LowerChar1252(c);
}

class Compiler {
 public:
  Compiler(std::string_view pattern, int modifiers, Program& out)
      : P(pattern), FMods(modifiers), Out(out) {}

  CompileError Run(std::string_view pairedSeparator) {
    try {
      if (P.size() >= static_cast<std::size_t>(INT32_MAX) - 1) Fail(101);
      int root = ParseAlt();
      if (FPos < P.size()) Fail(P[FPos] == ')' ? 104 : 105);
      Build(root, pairedSeparator);
    } catch (const Abort&) {
      return FError;
    }
    return {};
  }

 private:
  // ---- parsing ----

  [[noreturn]] void Fail(int code) {
    FError.Code = code;
    FError.Position = static_cast<int>(FPos) + 1;
    throw Abort{};
  }

  bool At(char c) const { return FPos < P.size() && P[FPos] == c; }

  int NewNode(NodeKind kind) {
    Nodes.push_back(Node{});
    Nodes.back().Kind = kind;
    return static_cast<int>(Nodes.size()) - 1;
  }

  int NewSet(const CharSet& s) {
    Out.Sets.push_back(s);
    return static_cast<int>(Out.Sets.size()) - 1;
  }

  // Blanks, tabs, line ends and "#" comments are not part of the pattern in
  // extended form.
  void SkipExtended() {
    if (!(FMods & TRegExpr::kModX)) return;
    while (FPos < P.size()) {
      char c = P[FPos];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++FPos;
      } else if (c == '#') {
        while (FPos < P.size() && P[FPos] != '\r' && P[FPos] != '\n') ++FPos;
      } else {
        break;
      }
    }
  }

  int ParseAlt() {
    std::vector<int> branches;
    branches.push_back(ParseConcat());
    while (At('|')) {
      ++FPos;
      branches.push_back(ParseConcat());
    }
    if (branches.size() == 1) return branches[0];
    int n = NewNode(NodeKind::Alt);
    Nodes[n].Kids = std::move(branches);
    return n;
  }

  int ParseConcat() {
    std::vector<int> items;
    for (;;) {
      SkipExtended();
      if (FPos >= P.size() || P[FPos] == '|' || P[FPos] == ')') break;
      int atom = ParseAtom();
      if (atom < 0) continue;  // a comment or a modifier group
      items.push_back(ParseQuantifier(atom));
    }
    if (items.empty()) return NewNode(NodeKind::Empty);
    if (items.size() == 1) return items[0];
    int n = NewNode(NodeKind::Concat);
    Nodes[n].Kids = std::move(items);
    return n;
  }

  // A well-formed "{n}", "{n,}" or "{n,m}" at `p`: its end (after "}"), else 0.
  std::size_t BraceFormEnd(std::size_t p) const {
    if (p >= P.size() || P[p] != '{') return 0;
    std::size_t q = p + 1;
    std::size_t digits = 0;
    while (q < P.size() && P[q] >= '0' && P[q] <= '9') ++q, ++digits;
    if (digits == 0) return 0;
    if (q < P.size() && P[q] == ',') {
      ++q;
      while (q < P.size() && P[q] >= '0' && P[q] <= '9') ++q;
    }
    if (q < P.size() && P[q] == '}') return q + 1;
    return 0;
  }

  bool AtQuantifier() const {
    if (FPos >= P.size()) return false;
    char c = P[FPos];
    return c == '*' || c == '+' || c == '?' || BraceFormEnd(FPos) != 0;
  }

  std::int32_t ReadCount(std::size_t& q) {
    std::size_t begin = q;
    while (q < P.size() && P[q] >= '0' && P[q] <= '9') ++q;
    if (q - begin > 8) {
      FPos = begin;
      Fail(122);
    }
    std::int32_t v = 0;
    for (std::size_t i = begin; i < q; ++i) v = v * 10 + (P[i] - '0');
    return v;
  }

  int ParseQuantifier(int atom) {
    SkipExtended();
    if (!AtQuantifier()) return atom;
    std::int32_t min = 0, max = kInfinite;
    bool braces = false;
    char c = P[FPos];
    if (c == '*') {
      ++FPos;
    } else if (c == '+') {
      min = 1;
      ++FPos;
    } else if (c == '?') {
      max = 1;
      ++FPos;
    } else {
      braces = true;
      std::size_t end = BraceFormEnd(FPos);
      std::size_t q = FPos + 1;
      min = ReadCount(q);
      if (P[q] == ',') {
        ++q;
        max = P[q] == '}' ? kInfinite : ReadCount(q);
      } else {
        max = min;
      }
      FPos = end;
      if (max < min) Fail(124);
    }
    bool lazy = false;
    if (At('?')) {
      lazy = true;
      ++FPos;
    }
    if (!braces && max == kInfinite && Analyse(atom).Nullable) Fail(106);
    SkipExtended();
    if (AtQuantifier()) Fail(107);
    int n = NewNode(NodeKind::Repeat);
    Node& r = Nodes[n];
    r.Kids = {atom};
    r.Min = min;
    r.Max = max;
    r.Braces = braces;
    r.Greedy = (FMods & TRegExpr::kModG) && !lazy;
    return n;
  }

  int CharNode(unsigned char c) {
    int n = NewNode(NodeKind::Char);
    Nodes[n].Ch = c;
    Nodes[n].ChOther = (FMods & TRegExpr::kModI) ? OtherCase(c) : c;
    return n;
  }

  int SetNode(CharSet s) {
    if (FMods & TRegExpr::kModI) {
      CharSet folded = s;
      for (int c = 0; c < 256; ++c)
        if (s.Has(static_cast<unsigned char>(c)))
          folded.Add(OtherCase(static_cast<unsigned char>(c)));
      s = folded;
    }
    int n = NewNode(NodeKind::Set);
    Nodes[n].SetIndex = NewSet(s);
    return n;
  }

  // After "\x": the code of \xhh or \x{h...}.
  unsigned char ParseHex() {
    if (FPos >= P.size()) Fail(111);
    if (P[FPos] == '{') {
      ++FPos;
      int value = 0, digits = 0;
      while (FPos < P.size() && P[FPos] != '}') {
        int d = HexDigitValue(P[FPos]);
        if (d < 0) Fail(108);
        value = value * 16 + d;
        if (value > 0xFF) Fail(112);
        ++digits;
        ++FPos;
      }
      if (FPos >= P.size() || digits == 0) Fail(111);
      ++FPos;
      return static_cast<unsigned char>(value);
    }
    int hi = HexDigitValue(P[FPos]);
    if (hi < 0) Fail(108);
    if (FPos + 1 >= P.size()) Fail(111);
    ++FPos;
    int lo = HexDigitValue(P[FPos]);
    if (lo < 0) Fail(108);
    ++FPos;
    return static_cast<unsigned char>(hi * 16 + lo);
  }

  // The escaped characters both inside and outside classes. Answers false
  // when `e` is a class escape (\d \D \s \S \w \W, set in `set`).
  bool EscapeChar(char e, unsigned char& ch, CharSet& set) {
    switch (e) {
      case 'd':
        set = DigitSet();
        return false;
      case 'D':
        set = DigitSet();
        set.Invert();
        return false;
      case 's':
        set = SpaceSet();
        return false;
      case 'S':
        set = SpaceSet();
        set.Invert();
        return false;
      case 'w':
        set = WordSet();
        return false;
      case 'W':
        set = WordSet();
        set.Invert();
        return false;
      case 't':
        ch = '\t';
        return true;
      case 'n':
        ch = '\n';
        return true;
      case 'r':
        ch = '\r';
        return true;
      case 'f':
        ch = '\f';
        return true;
      case 'a':
        ch = 7;
        return true;
      case 'e':
        ch = 27;
        return true;
      case 'x':
        ch = ParseHex();
        return true;
      default:
        ch = static_cast<unsigned char>(e);
        return true;
    }
  }

  int ParseEscape() {
    ++FPos;  // the backslash
    if (FPos >= P.size()) Fail(110);
    char e = P[FPos++];
    switch (e) {
      case 'A':
        return NewNode(NodeKind::Boi);
      case 'Z':
        return NewNode(NodeKind::Eoi);
      default:
        break;
    }
    if (e >= '1' && e <= '9') {
      int n = NewNode(NodeKind::Backref);
      Node& r = Nodes[n];
      r.Group = e - '0';
      r.ICase = (FMods & TRegExpr::kModI) != 0;
      r.RefNullable = !(r.Group < static_cast<int>(GroupClosed.size()) && GroupClosed[r.Group] &&
                        !GroupNullable[r.Group]);
      return n;
    }
    unsigned char ch = 0;
    CharSet set;
    if (EscapeChar(e, ch, set)) return CharNode(ch);
    return SetNode(set);
  }

  // One member of a class: a character (true) or a class escape (false).
  bool ClassElement(unsigned char& ch, CharSet& set) {
    char c = P[FPos];
    if (c != '\\') {
      ++FPos;
      ch = static_cast<unsigned char>(c);
      return true;
    }
    ++FPos;
    if (FPos >= P.size()) Fail(116);
    char e = P[FPos++];
    return EscapeChar(e, ch, set);
  }

  void AddRange(CharSet& set, unsigned char lo, unsigned char hi) {
    if (FMods & TRegExpr::kModR) {
      // Cyrillic letters of code page 1251: small a-ya, capital A-Ya, and
      // small a to capital Ya for both; yo lies outside both blocks.
      if (lo == 0xE0 && hi == 0xFF) {
        set.AddRange(0xE0, 0xFF);
        set.Add(0xB8);
        return;
      }
      if (lo == 0xC0 && hi == 0xDF) {
        set.AddRange(0xC0, 0xDF);
        set.Add(0xA8);
        return;
      }
      if (lo == 0xE0 && hi == 0xDF) {
        set.AddRange(0xC0, 0xFF);
        set.Add(0xA8);
        set.Add(0xB8);
        return;
      }
    }
    if (hi < lo) Fail(109);
    set.AddRange(lo, hi);
  }

  int ParseClass() {
    ++FPos;  // "["
    bool negate = false;
    if (At('^')) {
      negate = true;
      ++FPos;
    }
    CharSet set;
    bool first = true;
    for (;;) {
      if (FPos >= P.size()) Fail(113);
      if (P[FPos] == ']' && !first) {
        ++FPos;
        break;
      }
      first = false;
      unsigned char lo = 0;
      CharSet escSet;
      if (!ClassElement(lo, escSet)) {
        set.Merge(escSet);
        continue;
      }
      if (FPos + 1 < P.size() && P[FPos] == '-' && P[FPos + 1] != ']') {
        ++FPos;
        unsigned char hi = 0;
        CharSet hiSet;
        if (!ClassElement(hi, hiSet)) {
          // "a-\d": no range, the "-" is a member.
          set.Add(lo);
          set.Add('-');
          set.Merge(hiSet);
          continue;
        }
        AddRange(set, lo, hi);
        continue;
      }
      set.Add(lo);
    }
    int n = SetNode(set);
    if (negate) Out.Sets[Nodes[n].SetIndex].Invert();
    return n;
  }

  // An atom, or -1 for a comment or a modifier group.
  int ParseAtom() {
    char c = P[FPos];
    switch (c) {
      case '(': {
        if (FPos + 1 < P.size() && P[FPos + 1] == '?') {
          if (FPos + 2 < P.size() && P[FPos + 2] == '#') {
            std::size_t close = P.find(')', FPos + 3);
            if (close == std::string_view::npos) {
              FPos = P.size();
              Fail(125);
            }
            FPos = close + 1;
            return -1;
          }
          FPos += 2;
          int on = 0, off = 0;
          bool negative = false;
          for (;;) {
            if (FPos >= P.size()) Fail(127);
            char m = P[FPos];
            if (m == ')') break;
            if (m == '-') {
              negative = true;
            } else {
              int bit = ModifierBit(m);
              if (bit == 0) Fail(127);
              (negative ? off : on) |= bit;
            }
            ++FPos;
          }
          ++FPos;
          FMods = (FMods | on) & ~off;
          return -1;
        }
        if (FGroups >= kMaxGroups) Fail(102);
        ++FPos;
        int group = ++FGroups;
        int child = ParseAlt();
        if (!At(')')) Fail(103);
        ++FPos;
        if (GroupClosed.size() <= static_cast<std::size_t>(group)) {
          GroupClosed.resize(group + 1, false);
          GroupNullable.resize(group + 1, true);
        }
        GroupClosed[group] = true;
        GroupNullable[group] = Analyse(child).Nullable;
        int n = NewNode(NodeKind::Group);
        Nodes[n].Group = group;
        Nodes[n].Kids = {child};
        return n;
      }
      case '*':
      case '+':
      case '?':
        Fail(115);
      case '{':
        if (BraceFormEnd(FPos)) Fail(115);
        ++FPos;
        return CharNode('{');
      case '.': {
        ++FPos;
        if (FMods & TRegExpr::kModS) return NewNode(NodeKind::Any);
        CharSet s = LineSeparatorSet();
        s.Invert();
        int n = NewNode(NodeKind::Set);
        Nodes[n].SetIndex = NewSet(s);
        return n;
      }
      case '^':
        ++FPos;
        return NewNode((FMods & TRegExpr::kModM) ? NodeKind::BolM : NodeKind::Bol);
      case '$':
        ++FPos;
        return NewNode((FMods & TRegExpr::kModM) ? NodeKind::EolM : NodeKind::Eol);
      case '[':
        return ParseClass();
      case '\\':
        return ParseEscape();
      default:
        ++FPos;
        return CharNode(static_cast<unsigned char>(c));
    }
  }

  static CharSet LineSeparatorSet() {
    CharSet s;
    s.Add('\r');
    s.Add('\n');
    return s;
  }

  // ---- analysis ----

  bool IsSingle(const Node& n) const {
    return n.Kind == NodeKind::Char || n.Kind == NodeKind::Set || n.Kind == NodeKind::Any;
  }

  CharSet SingleSet(const Node& n) const {
    CharSet s;
    switch (n.Kind) {
      case NodeKind::Char:
        s.Add(n.Ch);
        s.Add(n.ChOther);
        break;
      case NodeKind::Set:
        s = Out.Sets[n.SetIndex];
        break;
      default:
        s.Invert();
        break;
    }
    return s;
  }

  // The bytes that can begin a match of a node, and whether it can match the
  // empty text. Depth is bounded by the group limit.
  First Analyse(int index) const {
    const Node& n = Nodes[index];
    First f;
    switch (n.Kind) {
      case NodeKind::Char:
      case NodeKind::Set:
      case NodeKind::Any:
        f.Set = SingleSet(n);
        break;
      case NodeKind::Empty:
      case NodeKind::Bol:
      case NodeKind::BolM:
      case NodeKind::Eol:
      case NodeKind::EolM:
      case NodeKind::Boi:
      case NodeKind::Eoi:
        f.Nullable = true;
        break;
      case NodeKind::Backref:
        f.Set.Invert();
        f.Nullable = n.RefNullable;
        break;
      case NodeKind::Group:
        f = Analyse(n.Kids[0]);
        break;
      case NodeKind::Concat:
        f.Nullable = true;
        for (int k : n.Kids) {
          First kf = Analyse(k);
          f.Set.Merge(kf.Set);
          if (!kf.Nullable) {
            f.Nullable = false;
            break;
          }
        }
        break;
      case NodeKind::Alt:
        for (int k : n.Kids) {
          First kf = Analyse(k);
          f.Set.Merge(kf.Set);
          f.Nullable = f.Nullable || kf.Nullable;
        }
        break;
      case NodeKind::Repeat:
        f = Analyse(n.Kids[0]);
        if (n.Min == 0 || n.Max == 0) f.Nullable = true;
        if (n.Max == 0) f.Set = CharSet{};
        break;
    }
    return f;
  }

  // Which anchor every match of the node starts with.
  StartAnchor LeadingAnchor(int index) const {
    const Node& n = Nodes[index];
    switch (n.Kind) {
      case NodeKind::Bol:
      case NodeKind::Boi:
        return StartAnchor::InputStart;
      case NodeKind::BolM:
        return StartAnchor::LineStart;
      case NodeKind::Group:
        return LeadingAnchor(n.Kids[0]);
      case NodeKind::Concat:
        return LeadingAnchor(n.Kids[0]);
      case NodeKind::Repeat:
        return n.Min >= 1 ? LeadingAnchor(n.Kids[0]) : StartAnchor::None;
      case NodeKind::Alt: {
        StartAnchor a = LeadingAnchor(n.Kids[0]);
        for (int k : n.Kids) {
          StartAnchor b = LeadingAnchor(k);
          if (b == StartAnchor::None) return StartAnchor::None;
          if (b != a) a = StartAnchor::LineStart;  // input start is a line start too
        }
        return a;
      }
      default:
        return StartAnchor::None;
    }
  }

  // The fewest bytes a match of the node takes (capped at kInfinite).
  std::int64_t MinWidth(int index) const {
    const Node& n = Nodes[index];
    switch (n.Kind) {
      case NodeKind::Char:
      case NodeKind::Set:
      case NodeKind::Any:
        return 1;
      case NodeKind::Group:
        return MinWidth(n.Kids[0]);
      case NodeKind::Concat: {
        std::int64_t sum = 0;
        for (int k : n.Kids) sum = std::min<std::int64_t>(kInfinite, sum + MinWidth(k));
        return sum;
      }
      case NodeKind::Alt: {
        std::int64_t least = kInfinite;
        for (int k : n.Kids) least = std::min(least, MinWidth(k));
        return least;
      }
      case NodeKind::Repeat:
        return std::min<std::int64_t>(kInfinite, n.Min * MinWidth(n.Kids[0]));
      default:
        return 0;
    }
  }

  // One part of the mandatory sequence: a literal byte (Ch, or Other under
  // i), or something else (Ch < 0) that takes at least Width bytes.
  struct SeqItem {
    int Ch = -1, Other = -1;
    std::int64_t Width = 0;
  };

  // Flattens the parts every match passes exactly once, in order. Zero-width
  // parts and group bounds leave a run of literal bytes whole.
  void MandatorySequence(int index, std::vector<SeqItem>& seq) const {
    const Node& n = Nodes[index];
    switch (n.Kind) {
      case NodeKind::Char:
        seq.push_back({n.Ch, n.ChOther, 1});
        break;
      case NodeKind::Empty:
      case NodeKind::Bol:
      case NodeKind::BolM:
      case NodeKind::Eol:
      case NodeKind::EolM:
      case NodeKind::Boi:
      case NodeKind::Eoi:
        break;
      case NodeKind::Group:
        MandatorySequence(n.Kids[0], seq);
        break;
      case NodeKind::Concat:
        for (int k : n.Kids) MandatorySequence(k, seq);
        break;
      default:
        seq.push_back({-1, -1, MinWidth(index)});
        break;
    }
  }

  // The bytes at each fixed offset from the start of every match of a node;
  // Exact when the node always takes exactly Sets.size() bytes, so that what
  // follows it starts at a fixed offset too.
  struct PrefixSets {
    std::vector<CharSet> Sets;
    bool Exact = true;
  };
  static constexpr std::size_t kMaxPrefix = 32;

  static void AppendPrefix(PrefixSets& out, const PrefixSets& more) {
    for (const CharSet& s : more.Sets) {
      if (out.Sets.size() >= kMaxPrefix) {
        out.Exact = false;
        return;
      }
      out.Sets.push_back(s);
    }
    out.Exact = out.Exact && more.Exact;
  }

  PrefixSets Prefix(int index) const {
    const Node& n = Nodes[index];
    PrefixSets out;
    switch (n.Kind) {
      case NodeKind::Char:
      case NodeKind::Set:
      case NodeKind::Any:
        out.Sets.push_back(SingleSet(n));
        break;
      case NodeKind::Backref:
        out.Exact = false;
        break;
      case NodeKind::Group:
        out = Prefix(n.Kids[0]);
        break;
      case NodeKind::Concat:
        for (int k : n.Kids) {
          AppendPrefix(out, Prefix(k));
          if (!out.Exact) break;
        }
        break;
      case NodeKind::Alt: {
        std::vector<PrefixSets> branches;
        std::size_t shortest = kMaxPrefix;
        for (int k : n.Kids) {
          branches.push_back(Prefix(k));
          shortest = std::min(shortest, branches.back().Sets.size());
        }
        out.Sets.resize(shortest);
        for (const PrefixSets& b : branches) {
          for (std::size_t i = 0; i < shortest; ++i) out.Sets[i].Merge(b.Sets[i]);
          out.Exact = out.Exact && b.Exact && b.Sets.size() == shortest;
        }
        break;
      }
      case NodeKind::Repeat: {
        if (n.Max == 0) break;
        if (n.Min == 0) {
          out.Exact = false;
          break;
        }
        PrefixSets turn = Prefix(n.Kids[0]);
        if (!turn.Exact) {
          // Only the first turn's start is at a fixed offset.
          out = turn;
          break;
        }
        for (std::int32_t t = 0; t < n.Min && out.Exact && !turn.Sets.empty(); ++t)
          AppendPrefix(out, turn);
        out.Exact = out.Exact && n.Min == n.Max;
        break;
      }
      default:  // zero-width
        break;
    }
    return out;
  }

  // ---- program ----

  std::int32_t Emit(const Inst& inst) {
    if (Out.Code.size() >= kMaxInstructions) Fail(101);
    Out.Code.push_back(inst);
    return static_cast<std::int32_t>(Out.Code.size()) - 1;
  }

  std::int32_t Here() const { return static_cast<std::int32_t>(Out.Code.size()); }

  void EmitChars(const std::vector<int>& run) {
    bool folded = false;
    for (int k : run) folded = folded || Nodes[k].Ch != Nodes[k].ChOther;
    if (run.size() == 1 && !folded) {
      Inst in;
      in.Code = Op::Char;
      in.A = Nodes[run[0]].Ch;
      Emit(in);
      return;
    }
    Inst in;
    in.Code = folded ? Op::StringI : Op::String;
    in.A = static_cast<std::int32_t>(Out.Pool.size());
    in.B = static_cast<std::int32_t>(run.size());
    for (int k : run) {
      Out.Pool.push_back(static_cast<char>(Nodes[k].Ch));
      if (folded) Out.Pool.push_back(static_cast<char>(Nodes[k].ChOther));
    }
    Emit(in);
  }

  void EmitNode(int index, int braceDepth) {
    const Node& n = Nodes[index];
    Inst in;
    switch (n.Kind) {
      case NodeKind::Empty:
        return;
      case NodeKind::Char:
        EmitChars({index});
        return;
      case NodeKind::Set:
        if (Out.Sets[n.SetIndex].Full()) {
          in.Code = Op::Any;
        } else {
          in.Code = Op::Class;
          in.A = n.SetIndex;
        }
        Emit(in);
        return;
      case NodeKind::Any:
        in.Code = Op::Any;
        Emit(in);
        return;
      case NodeKind::Bol:
        in.Code = Op::Bol;
        Emit(in);
        return;
      case NodeKind::BolM:
        in.Code = Op::BolM;
        Emit(in);
        return;
      case NodeKind::Eol:
        in.Code = Op::Eol;
        Emit(in);
        return;
      case NodeKind::EolM:
        in.Code = Op::EolM;
        Emit(in);
        return;
      case NodeKind::Boi:
        in.Code = Op::Boi;
        Emit(in);
        return;
      case NodeKind::Eoi:
        in.Code = Op::Eoi;
        Emit(in);
        return;
      case NodeKind::Backref:
        in.Code = n.ICase ? Op::BackrefI : Op::Backref;
        in.A = n.Group;
        Emit(in);
        return;
      case NodeKind::Group: {
        in.Code = Op::Open;
        in.A = n.Group;
        Emit(in);
        EmitNode(n.Kids[0], braceDepth);
        in.Code = Op::Close;
        Emit(in);
        return;
      }
      case NodeKind::Concat: {
        std::vector<int> run;
        for (int k : n.Kids) {
          if (Nodes[k].Kind == NodeKind::Char) {
            run.push_back(k);
            continue;
          }
          if (!run.empty()) EmitChars(run);
          run.clear();
          EmitNode(k, braceDepth);
        }
        if (!run.empty()) EmitChars(run);
        return;
      }
      case NodeKind::Alt: {
        std::vector<std::int32_t> jumps;
        for (std::size_t i = 0; i + 1 < n.Kids.size(); ++i) {
          Inst alt;
          alt.Code = Op::Alt;
          First f = Analyse(n.Kids[i]);
          if (!f.Nullable && !f.Set.Full()) alt.Hint = NewSetIndex(f.Set);
          std::int32_t at = Emit(alt);
          Out.Code[at].A = at + 1;
          EmitNode(n.Kids[i], braceDepth);
          Inst jmp;
          jmp.Code = Op::Jmp;
          jumps.push_back(Emit(jmp));
          Out.Code[at].B = Here();
        }
        EmitNode(n.Kids.back(), braceDepth);
        for (std::int32_t j : jumps) Out.Code[j].A = Here();
        return;
      }
      case NodeKind::Repeat:
        EmitRepeat(n, braceDepth);
        return;
    }
  }

  std::int32_t NewSetIndex(const CharSet& s) {
    Out.Sets.push_back(s);
    return static_cast<std::int32_t>(Out.Sets.size()) - 1;
  }

  void EmitRepeat(const Node& n, int braceDepth) {
    const Node& child = Nodes[n.Kids[0]];
    Inst in;
    in.Min = n.Min;
    in.Max = n.Max;
    in.Greedy = n.Greedy;
    if (IsSingle(child)) {
      CharSet s = SingleSet(child);
      in.Code = Op::Repeat;
      in.A = s.Full() ? -1 : NewSetIndex(s);
      Emit(in);
      return;
    }
    if (!n.Braces && n.Min == 0 && n.Max == 1) {
      Inst alt;
      alt.Code = Op::Alt;
      std::int32_t at = Emit(alt);
      if (n.Greedy) {
        First f = Analyse(n.Kids[0]);
        if (!f.Nullable && !f.Set.Full()) Out.Code[at].Hint = NewSetIndex(f.Set);
      }
      EmitNode(n.Kids[0], braceDepth);
      std::int32_t body = at + 1, after = Here();
      Out.Code[at].A = n.Greedy ? body : after;
      Out.Code[at].B = n.Greedy ? after : body;
      return;
    }
    int depth = n.Braces ? braceDepth + 1 : braceDepth;
    in.Code = Op::LoopInit;
    in.A = Out.LoopCount++;
    in.Depth = n.Braces ? depth : 0;
    std::int32_t init = Emit(in);
    std::int32_t body = Here();
    EmitNode(n.Kids[0], depth);
    in.Code = Op::LoopTail;
    in.Depth = 0;
    std::int32_t tail = Emit(in);
    std::int32_t exit = Here();
    Out.Code[init].B = Out.Code[tail].B = body;
    Out.Code[init].C = Out.Code[tail].C = exit;
  }

  // The set of the byte an instruction needs at its position, -1 when it
  // needs none in particular.
  std::int32_t NeededByteSet(const Inst& in) {
    CharSet s;
    switch (in.Code) {
      case Op::Char:
        s.Add(static_cast<unsigned char>(in.A));
        break;
      case Op::String:
        s.Add(static_cast<unsigned char>(Out.Pool[in.A]));
        break;
      case Op::StringI:
        s.Add(static_cast<unsigned char>(Out.Pool[in.A]));
        s.Add(static_cast<unsigned char>(Out.Pool[in.A + 1]));
        break;
      case Op::Class:
        return in.A;
      default:
        return -1;
    }
    return NewSetIndex(s);
  }

  void Build(int root, std::string_view pairedSeparator) {
    Out.GroupCount = FGroups;
    Inst magic;
    magic.Code = Op::Magic;
    Emit(magic);
    EmitNode(root, 0);
    Inst match;
    match.Code = Op::Match;
    Emit(match);
    // A repeat of single bytes followed by a byte test only stops where that
    // byte can follow.
    for (std::size_t pc = 0; pc + 1 < Out.Code.size(); ++pc)
      if (Out.Code[pc].Code == Op::Repeat) Out.Code[pc].Hint = NeededByteSet(Out.Code[pc + 1]);

    Out.LineSeparators = LineSeparatorSet();
    Out.HasPair = pairedSeparator.size() == 2;
    if (Out.HasPair) {
      Out.Pair0 = static_cast<unsigned char>(pairedSeparator[0]);
      Out.Pair1 = static_cast<unsigned char>(pairedSeparator[1]);
    }
    BuildStartScans(root);
  }

  void BuildStartScans(int root) {
    First f = Analyse(root);
    if (!f.Nullable && !f.Set.Full()) Out.FirstSet = NewSetIndex(f.Set);
    Out.Anchor = LeadingAnchor(root);

    Out.Prefix = Prefix(root).Sets;
    std::vector<std::pair<std::int32_t, CharSet>> tests;
    for (std::size_t k = 0; k < Out.Prefix.size(); ++k)
      tests.emplace_back(static_cast<std::int32_t>(k), Out.Prefix[k]);
    if (Out.Prefix.empty() && Out.FirstSet >= 0) tests.emplace_back(0, Out.Sets[Out.FirstSet]);
    if (Out.Anchor == StartAnchor::LineStart) {
      // The byte before a line start (other than the input's).
      CharSet before = Out.LineSeparators;
      if (Out.HasPair) before.Add(Out.Pair1);
      tests.emplace_back(-1, before);
    }
    if (Out.Anchor != StartAnchor::InputStart) Out.StartFilter = ChooseByteFilter(tests, false);

    // The longest run of literal bytes every match passes through.
    std::vector<SeqItem> seq;
    MandatorySequence(root, seq);
    std::int64_t offset = 0;
    std::size_t best = 0, bestLength = 0;
    std::int64_t bestOffset = 0;
    for (std::size_t i = 0; i < seq.size();) {
      if (seq[i].Ch < 0) {
        offset = std::min<std::int64_t>(kInfinite, offset + seq[i].Width);
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < seq.size() && seq[j].Ch >= 0) ++j;
      if (j - i > bestLength) best = i, bestLength = j - i, bestOffset = offset;
      offset = std::min<std::int64_t>(kInfinite, offset + static_cast<std::int64_t>(j - i));
      i = j;
    }
    RequiredText& req = Out.Required;
    tests.clear();
    for (std::size_t k = 0; k < bestLength; ++k) {
      const SeqItem& item = seq[best + k];
      req.Bytes.push_back(static_cast<char>(item.Ch));
      req.Other.push_back(static_cast<char>(item.Other));
      req.Folded = req.Folded || item.Ch != item.Other;
      CharSet either;
      either.Add(static_cast<unsigned char>(item.Ch));
      either.Add(static_cast<unsigned char>(item.Other));
      tests.emplace_back(static_cast<std::int32_t>(k), either);
    }
    if (bestLength > 0) {
      req.MinOffset = static_cast<std::int32_t>(bestOffset);
      req.Filter = ChooseByteFilter(tests, true);
    }

    const Inst& first = Out.Code[1];
    Out.LeadingRun = first.Code == Op::Repeat && first.Max == kInfinite;
    // With a leading repeat, seq[0] is that repeat.
    Out.RunBeforeRequired = Out.LeadingRun && bestLength > 0 && best == 1 && first.A >= 0 &&
                            !Out.Sets[first.A].Has(static_cast<unsigned char>(req.Bytes[0])) &&
                            !Out.Sets[first.A].Has(static_cast<unsigned char>(req.Other[0]));
  }

  std::string_view P;
  std::size_t FPos = 0;
  int FMods;
  int FGroups = 0;
  std::vector<bool> GroupClosed;
  std::vector<bool> GroupNullable;
  std::vector<Node> Nodes;
  Program& Out;
  CompileError FError;
};

}  // namespace

CompileError CompileProgram(std::string_view pattern, int modifiers,
                            std::string_view pairedSeparator, Program& out) {
  out = Program{};
  Compiler c(pattern, modifiers, out);
  return c.Run(pairedSeparator);
}

}  // namespace halvorn::regexpr_internal
