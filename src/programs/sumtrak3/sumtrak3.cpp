#include "programs/sumtrak3/sumtrak3.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "foundation/crypto/md5.h"
#include "foundation/text/text_helpers.h"
#include "message/dcc_checksums.h"

namespace halvorn {
namespace {

// The exports are what the binding calls them as.
static_assert(std::is_same_v<decltype(&DccInit), TDccInitFn> &&
              std::is_same_v<decltype(&DccChecksumLine), TDccChecksumLineFn> &&
              std::is_same_v<decltype(&DccFinalize), TDccFinalizeFn>);

constexpr std::size_t kMaxOpenComputations = 4096;
constexpr std::size_t kMinWord = 3, kMaxWord = 20;
constexpr std::size_t kMinDistinctWords = 8;

unsigned char LowerLetter(unsigned char c) {
  return IsUpperChar(c) ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerLetter(a[i]) != LowerLetter(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlankChar(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankChar(text.back())) text.remove_suffix(1);
  return text;
}

// One computation. Its lock keeps two threads that share a context (a
// caller's fault) from tearing the state.
struct TSumState {
  std::mutex Lock;
  bool Failed = false;   // a text could not be taken (memory)
  std::string Partial;   // the bytes of a line whose LF has not come yet
  bool InBody = false;

  bool IdFound = false;  // the first Message-ID field was seen
  bool IdOpen = false;   // its continuation lines are still appended
  std::string IdValue;

  bool BodyStarted = false;  // a body line was taken: the next one follows an LF
  TMD5Context Body;          // bytes above 32
  bool BodyAny = false;
  TMD5Context Letters;       // letters of the tag-free body, lower-cased
  bool InTag = false;
  std::string Word;          // the letter run so far, lower-cased
  bool WordTooLong = false;  // the run has passed kMaxWord letters
  std::set<std::string> Words;

  TSumState() {
    MD5Init(Body);
    MD5Init(Letters);
  }

  void EndWord() {
    if (!WordTooLong && Word.size() >= kMinWord) Words.insert(Word);
    Word.clear();
    WordTooLong = false;
  }

  // One byte of the body (the LF between lines included).
  void TakeBodyByte(unsigned char c, std::string& visible, std::string& letters) {
    if (c > 32) visible += static_cast<char>(c);
    if (InTag) {
      if (c == '>') InTag = false;
      return;
    }
    if (c == '<') {  // the tag is removed: letters on both sides join
      InTag = true;
      return;
    }
    if (!IsLetterChar(c)) {
      EndWord();
      return;
    }
    const char lower = static_cast<char>(LowerLetter(c));
    letters += lower;
    if (WordTooLong) return;
    if (Word.size() == kMaxWord) {
      WordTooLong = true;
      Word.clear();
    } else {
      Word += lower;
    }
  }

  void TakeHeaderLine(std::string_view line) {
    if (IsBlankChar(line.front())) {
      if (IdOpen) IdValue.append(line);
      return;
    }
    IdOpen = false;
    if (IdFound) return;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && IsBlankChar(name.back())) name.remove_suffix(1);
    if (!SameTextAscii(name, "Message-ID")) return;
    IdFound = IdOpen = true;
    IdValue.assign(line.substr(colon + 1));
  }

  void TakeLine(std::string_view line) {
    if (!InBody) {
      if (line.empty()) {
        InBody = true;
        IdOpen = false;
      } else {
        TakeHeaderLine(line);
      }
      return;
    }
    std::string visible, letters;
    if (BodyStarted) TakeBodyByte('\n', visible, letters);
    BodyStarted = true;
    for (char c : line) TakeBodyByte(static_cast<unsigned char>(c), visible, letters);
    if (!visible.empty()) {
      MD5Update(Body, visible);
      BodyAny = true;
    }
    MD5Update(Letters, letters);
  }

  // Splits the text at LF; a line's end is its LF and a CR before it.
  void TakeText(std::string_view text) {
    while (!text.empty()) {
      const std::size_t lf = text.find('\n');
      if (lf == std::string_view::npos) {
        Partial.append(text);
        return;
      }
      Partial.append(text.substr(0, lf));
      text.remove_prefix(lf + 1);
      if (!Partial.empty() && Partial.back() == '\r') Partial.pop_back();
      TakeLine(Partial);
      Partial.clear();
    }
  }

  void Finish(TDccChecksums& record) {
    if (!Partial.empty()) {
      if (Partial.back() == '\r') Partial.pop_back();
      TakeLine(Partial);
      Partial.clear();
    }
    EndWord();
    auto put = [&record](int type, const TMD5Digest& sum) {
      record.Slots[type].Type = static_cast<std::uint8_t>(type);
      record.Slots[type].Sum = sum;
    };
    const std::string_view id = TrimBlanks(IdValue);
    if (IdFound && !id.empty()) put(DCC_CK_MESSAGE_ID, MD5String(id));
    if (BodyAny) {
      TMD5Digest sum;
      MD5Final(Body, sum);
      put(DCC_CK_BODY, sum);
    }
    if (Words.size() >= kMinDistinctWords) {
      TMD5Digest sum;
      MD5Final(Letters, sum);
      put(DCC_CK_FUZ1, sum);
      TMD5Context joined;
      MD5Init(joined);
      bool first = true;
      for (const std::string& word : Words) {  // std::set orders bytewise
        if (!first) MD5Update(joined, " ");
        MD5Update(joined, word);
        first = false;
      }
      MD5Final(joined, sum);
      put(DCC_CK_FUZ2, sum);
    }
  }
};

std::mutex gRegistryLock;
std::unordered_map<std::uint32_t, std::shared_ptr<TSumState>> gStates;
std::uint32_t gLastContext = 0;

std::shared_ptr<TSumState> FindState(std::uint32_t context) {
  std::lock_guard<std::mutex> lock(gRegistryLock);
  auto it = gStates.find(context);
  return it == gStates.end() ? nullptr : it->second;
}

}  // namespace
}  // namespace halvorn

using halvorn::TSumState;

int DccInit(std::uint32_t* context) noexcept {
  if (context == nullptr) return 1;
  *context = 0;
  try {
    auto state = std::make_shared<TSumState>();
    std::lock_guard<std::mutex> lock(halvorn::gRegistryLock);
    if (halvorn::gStates.size() >= halvorn::kMaxOpenComputations) return 1;
    do {
      ++halvorn::gLastContext;
    } while (halvorn::gLastContext == 0 || halvorn::gStates.count(halvorn::gLastContext) != 0);
    halvorn::gStates.emplace(halvorn::gLastContext, std::move(state));
    *context = halvorn::gLastContext;
    return 0;
  } catch (...) {  // memory: the caller hears of it from the answer
    return 1;
  }
}

void DccChecksumLine(const char* text, std::uint32_t context) noexcept {
  if (text == nullptr) return;
  std::shared_ptr<TSumState> state;
  try {
    state = halvorn::FindState(context);
  } catch (...) {
    return;  // the registry's lock failed; there is no state to mark
  }
  if (state == nullptr) return;
  std::lock_guard<std::mutex> lock(state->Lock);
  if (state->Failed) return;
  try {
    state->TakeText(text);
  } catch (...) {  // memory: DccFinalize answers the failure
    state->Failed = true;
  }
}

int DccFinalize(void* record, std::uint32_t* context) noexcept {
  if (context == nullptr) return 1;
  std::shared_ptr<TSumState> state;
  {
    std::lock_guard<std::mutex> lock(halvorn::gRegistryLock);
    auto it = halvorn::gStates.find(*context);
    if (it != halvorn::gStates.end()) {
      state = std::move(it->second);
      halvorn::gStates.erase(it);
    }
  }
  *context = 0;
  if (state == nullptr || record == nullptr) return 1;
  std::lock_guard<std::mutex> lock(state->Lock);
  if (state->Failed) return 1;
  try {
    halvorn::TDccChecksums sums;
    state->Finish(sums);
    std::memcpy(record, &sums, sizeof sums);
    return 0;
  } catch (...) {  // memory
    return 1;
  }
}
