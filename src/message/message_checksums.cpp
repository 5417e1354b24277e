#include "message/message_checksums.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <set>
#include <unordered_map>

#include "foundation/app/statistics_hooks.h"
#include "foundation/regex/reg_ex_wrappers.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/app/developer_mode.h"
#include "foundation/crypto/md5.h"
#include "foundation/text/html_parser.h"
#include "foundation/regex/url_extraction.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/quor_thread.h"
#include "message/email_address.h"
#include "message/host_and_domain.h"
#include "message/mail_providers.h"
#include "message/simple_html.h"

namespace halvorn {

namespace {

// The detail level of checksum trace lines.
constexpr int kTraceLevel = 11;
// Only this many trailing bytes of an attachment are hashed.
constexpr std::size_t kStreamTail = 1024;

// The texts of the regular expressions below are written for the program's
// own engine: "\" before any character that is not a letter or digit makes
// it literal.
std::string LiteralPattern(std::string_view text) {
  std::string pattern;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (!IsLetterChar(u) && !IsDigitChar(u) && u < 128) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// Links to the program itself and to the free-mail providers say nothing
// about the mail that carries them.
bool IsSkippedLink(const std::string& link) {
  if (link.find("localhost") != std::string::npos) return true;
  if (link.find(":6173") != std::string::npos) return true;
  const std::string host = LowerCase1252(HostOfUrl(link));
  return std::any_of(
      kFreeMailDomains.begin(), kFreeMailDomains.end(),
      [&](std::string_view domain) { return host.find(domain) != std::string::npos; });
}

void AddTyped(const std::string& text, int type, const char* label, TCheckSumArray& array,
              TSimpleHtml* trace, bool developer) {
  std::uint32_t checksum = CheckSumOfText(text);
  SetCheckSumType(type, checksum);
  array.push_back(checksum);
  if (developer)
    trace->AddLine(std::to_string(checksum) + label + text, kTraceLevel, kHtmlKindAll, true);
}

// One replacement over the lines joined with CR LF; the lines are replaced
// only when the text changed.
bool ReplaceInLines(const std::string& pattern, const std::string& replacement,
                    std::uint8_t options, TStringList& lines) {
  const std::string joined = lines.Text();
  std::string result = joined;
  RegExReplace(pattern, joined, replacement, result, options);
  if (result == joined) return false;
  lines.SetText(result);
  return true;
}

std::mutex gOwnImagesMutex;
TCheckSumArray& OwnImages() {
  static auto* images = new TCheckSumArray;
  return *images;
}

}  // namespace

std::uint32_t Md5To24Bits(const TMD5Digest& digest) {
  return static_cast<std::uint32_t>(digest[1]) | (static_cast<std::uint32_t>(digest[2]) << 8) |
         (static_cast<std::uint32_t>(digest[3]) << 16);
}

std::uint32_t CheckSumOfText(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (IsUpperChar(static_cast<unsigned char>(c))) c = static_cast<char>(c + ('a' - 'A'));
  }
  return Md5To24Bits(MD5String(lower));
}

std::uint32_t CheckSumOfStream(std::string_view stream) {
  if (stream.size() > kStreamTail) stream.remove_prefix(stream.size() - kStreamTail);
  return Md5To24Bits(MD5String(stream));
}

void SetCheckSumType(int type, std::uint32_t& checksum) {
  checksum = (checksum & CheckSumMask) | (static_cast<std::uint32_t>(type & 0xFF) << 24);
}

int CheckSumType(std::uint32_t checksum) {
  if (checksum == 0 || checksum >= 0x0B000000) return cstNone;
  return static_cast<int>(checksum >> 24);
}

bool IsPairChecksum(std::uint32_t checksum) {
  const int type = CheckSumType(checksum);
  return type == cstReceivedAddrPair || type == cstOtherPair;
}

std::array<std::uint32_t, 2> MakeChecksumPair(std::uint32_t value, int index, int type) {
  const std::uint32_t top = static_cast<std::uint32_t>(type & 0xFF) << 24;
  const std::uint32_t slot = static_cast<std::uint32_t>(index) & 0x7F;
  return {top | ((value & 0xFFFF) << 8) | 0x80 | slot, top | ((value >> 16) << 8) | slot};
}

TPairChecksumParts SplitPairChecksum(std::uint32_t checksum) {
  TPairChecksumParts parts;
  parts.Index = static_cast<int>(checksum & 0x7F);
  parts.LowHalf = (checksum & 0x80) != 0;
  parts.Half = static_cast<std::uint16_t>((checksum >> 8) & 0xFFFF);
  return parts;
}

void AppendAddressPairChecksums(const std::vector<std::uint32_t>& values, int type,
                                TCheckSumArray& array) {
  if (values.empty()) return;
  int index = 0;
  for (const std::uint32_t checksum : array) {
    if (IsPairChecksum(checksum)) index = std::max(index, SplitPairChecksum(checksum).Index + 1);
  }
  for (const std::uint32_t value : values) {
    const auto pair = MakeChecksumPair(value, index, type);
    array.push_back(pair[0]);
    array.push_back(pair[1]);
    index = (index + 1) & 0x7F;
  }
}

bool RemoveDuplicateChecksums(TCheckSumArray& array) {
  {
    TCheckSumArray sorted = array;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) return false;
  }
  // The rule scans every later entry for each position. Keeping the places
  // of each value instead visits only the repeats, in the same order: at the
  // first later place of the value, a repeat at the tail is dropped, anything
  // else at the tail moves into the place.
  std::unordered_map<std::uint32_t, std::set<std::size_t>> places;
  for (std::size_t i = 0; i < array.size(); ++i) places[array[i]].insert(i);
  std::size_t length = array.size();
  for (std::size_t i = 0; i < length; ++i) {
    std::set<std::size_t>& mine = places[array[i]];
    for (auto later = mine.upper_bound(i); later != mine.end(); later = mine.upper_bound(i)) {
      const std::size_t last = length - 1;
      --length;
      if (array[last] == array[i]) {
        mine.erase(last);
        continue;
      }
      const std::size_t place = *later;
      mine.erase(later);
      std::set<std::size_t>& theirs = places[array[last]];
      theirs.erase(last);
      theirs.insert(place);
      array[place] = array[last];
    }
  }
  array.resize(length);
  return true;
}

void RecordOwnImageChecksums(const std::vector<std::string>& images) {
  TCheckSumArray checksums;
  for (const std::string& image : images) {
    checksums.push_back(CheckSumOfStream(image));
    SetCheckSumType(cstImage, checksums.back());
  }
  std::lock_guard<std::mutex> lock(gOwnImagesMutex);
  OwnImages() = std::move(checksums);
}

TCheckSumArray OwnImageChecksums() {
  std::lock_guard<std::mutex> lock(gOwnImagesMutex);
  return OwnImages();
}

bool IsOwnImageChecksum(std::uint32_t checksum) {
  std::lock_guard<std::mutex> lock(gOwnImagesMutex);
  const TCheckSumArray& images = OwnImages();
  return std::find(images.begin(), images.end(), checksum) != images.end();
}

void GetSpecialBodyChecksums(const std::string& text, TCheckSumArray& array, TSimpleHtml* trace) {
  const bool developer = trace != nullptr && IsDeveloperMode();

  {
    StatEnter("GetSpecialBodyChecksums cstBodyEmailAddr");
    std::string scratch = text;
    TStringList addresses;
    ExtractEmailAddresses(scratch, addresses);
    for (int i = 0; i < addresses.Count(); ++i) {
      AddTyped(addresses[i], cstBodyEmailAddr, " cstBodyEmailAddr ", array, trace, developer);
    }
    StatLeave("GetSpecialBodyChecksums cstBodyEmailAddr", 0);
  }

  {
    StatEnter("GetSpecialBodyChecksums cstBodyUrl");
    std::string scratch = text;
    TStringList urls;
    ExtractUrls(scratch, urls);
    urls.Sort();
    for (int i = 0; i < urls.Count(); ++i) {
      if (i > 0 && urls.CompareStrings(urls[i - 1], urls[i]) == 0) continue;
      if (IsSkippedLink(urls[i])) continue;
      const std::string canonical = UrlWithoutScheme(urls[i]);
      if (canonical.empty()) continue;
      AddTyped(canonical, cstBodyUrl, " cstBodyUrl ", array, trace, developer);
    }
    StatLeave("GetSpecialBodyChecksums cstBodyUrl", 0);
  }

  {
    StatEnter("GetSpecialBodyChecksums cstBodyPartialUrls");
    TStringList fragments;
    CatchAllButAbandonment(
        [&]() {
          std::string plain = HtmlToPlainText(text);
          CutWebAddresses(plain, fragments);
        },
        [&](const std::string&) {
          // What was cut out before the failure still counts.
        });
    for (int i = 0; i < fragments.Count(); ++i) {
      if (IsSkippedLink(fragments[i])) continue;
      AddTyped(fragments[i], cstBodyPartialUrls, " cstBodyPartialUrls ", array, trace, developer);
    }
    StatLeave("GetSpecialBodyChecksums cstBodyPartialUrls", 0);
  }
}

void PrefetchSpecialBodyChecksums(const std::string& /*text*/) {}

void SplitIntoSentences(std::string& text, TStringList& sentences, bool keepAll) {
  sentences.Clear();
  text += '.';
  StripAbbreviationDots(text);
  text = LowerCase1252(text);
  StripQuotePrefixes(text);
  CollapsePunctuation(text);
  TStringList found;
  ExtractEmailAddresses(text, found);
  found.Clear();
  ExtractUrls(text, found);  // only for its removal of line breaks
  found.Clear();
  CutWebAddresses(text, found);
  if (keepAll) {
    RemoveCharsMatching(text, IsControlChar);
  } else {
    KeepCharsMatching(text, IsSentenceChar);
  }

  // The last sentence is kept apart while short pieces may still be appended
  // to it, so that a long run of them costs linear time.
  std::string last;
  bool haveLast = false;
  const auto add = [&](std::string sentence) {
    if (haveLast) sentences.Add(std::move(last));
    last = std::move(sentence);
    haveLast = true;
  };
  std::string piece;
  std::size_t start = 0;
  int spaces = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ') ++spaces;
    if (c != '!' && c != '.' && c != '?') continue;
    piece = TrimText(std::string_view(text).substr(start, i - start));
    start = i + 1;
    if (piece.size() > 4) {
      add(piece);
      spaces = 0;
    } else if (spaces < 2 && c == '.') {
      if (!haveLast) add({});
      last += piece;
    }
  }
  if (haveLast) sentences.Add(std::move(last));
  if (!piece.empty()) sentences.Add(piece);
}

bool StripFreeMailTextFooter(TStringList& lines) {
  const std::string pattern = "^_{50,}.{1,200}" + LiteralPattern(kFreeMailDomains[0]) + ".*";
  return ReplaceInLines(pattern, {},
                        kRegExIgnoreCase | kRegExMultiLine | kRegExDotAll | kRegExGreedy, lines);
}

bool StripFreeMailHtmlFooter(TStringList& lines) {
  const std::string pattern = "<hr.{1,200}" + LiteralPattern(kFreeMailDomains[0]) + ".*</html>";
  return ReplaceInLines(pattern, "</html>", kRegExDotAll | kRegExGreedy, lines);
}

bool StripFreeMailTagline(TStringList& lines) {
  const std::string pattern = "Do you " + LiteralPattern(kFreeMailTaglineName) + "!?.*";
  return ReplaceInLines(pattern, {},
                        kRegExIgnoreCase | kRegExMultiLine | kRegExDotAll | kRegExGreedy, lines);
}

}  // namespace halvorn
