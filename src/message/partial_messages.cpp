#include "message/partial_messages.h"

#include <climits>
#include <filesystem>
#include <string_view>
#include <vector>

#include "foundation/app/log.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "message/email_header.h"
#include "message/mime_decoders.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "PartialMessages";
// A piece file is never read beyond this (the message files' own limit).
constexpr std::size_t kMaxPieceBytes = static_cast<std::size_t>(INT32_MAX);
// What follows "(" in a piece's name: "NNNN)of(NNNN).eml".
constexpr std::size_t kNumbersPartLength = 17;

std::string FourDigits(std::int64_t value) {
  std::string text = std::to_string(value);
  if (text.size() > 4) return text.substr(text.size() - 4);
  return std::string(4 - text.size(), '0') + text;
}

bool ReadFourDigits(std::string_view text, std::int64_t& value) {
  if (text.size() != 4) return false;
  value = 0;
  for (char c : text) {
    if (!IsDigitChar(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

std::string WithSlash(const std::string& folder) {
  return !folder.empty() && folder.back() == '/' ? folder : folder + "/";
}

struct TPiece {
  std::int64_t Number = 0;
  std::int64_t Total = 0;
  std::string Path;
};

// The pieces of the id in the folder, in name order: the names that are
// exactly the id's pattern (with case).
std::vector<TPiece> ListPieces(const std::string& folder, const std::string& id) {
  std::vector<TPiece> pieces;
  const std::string prefix = EncodePartialMessageId(id) + "(";
  TStringList files;
  ListFilesInDir(folder, "*", false, INT_MAX, files);
  for (int i = 0; i < files.Count(); ++i) {
    const std::string& path = files[i];
    const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
    if (name.size() != prefix.size() + kNumbersPartLength || name.substr(0, prefix.size()) != prefix)
      continue;
    const std::string_view rest = name.substr(prefix.size());
    TPiece piece;
    if (rest.substr(4, 4) != ")of(" || rest.substr(12) != ").eml" ||
        !ReadFourDigits(rest.substr(0, 4), piece.Number) ||
        !ReadFourDigits(rest.substr(8, 4), piece.Total))
      continue;
    piece.Path = path;
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

// The body lines of one piece file, decoded; false when it cannot be read.
bool ReadPieceBody(const std::string& path, TStringList& body) {
  std::string bytes;
  const std::string error = ReadFileBytes(path, kMaxPieceBytes, bytes, "piece file");
  if (!error.empty()) {
    Log(kLogService, error, 5, true);
    return false;
  }
  body.SetText(bytes);
  TEmailHeader header;
  header.ParseLines(body, true);
  std::string encoding;
  if (header.GetRawValue("Content-Transfer-Encoding", encoding, true)) {
    if (TMIMEDecoderClass decoder = DecoderForEncoding(TrimText(encoding)))
      DecodeLinesInPlace(decoder, body);
  }
  return true;
}

// Joins the pieces of the id with the total (0: the total of its first
// piece).
bool Reassemble(const std::string& folder, const std::string& id, std::int64_t total,
                TStringList& lines) {
  lines.Clear();
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) return false;
  const std::vector<TPiece> pieces = ListPieces(folder, id);
  if (pieces.empty()) return false;
  if (total == 0) total = pieces.front().Total;
  if (total < 1 || total > kMaxPartialPieces) return false;
  std::int64_t listed = 0;
  for (const TPiece& piece : pieces) {
    if (piece.Total == total) ++listed;
  }
  if (listed < total) return false;  // not complete yet
  TStringList joined;
  for (std::int64_t number = 1; number <= total; ++number) {
    const std::string path = WithSlash(folder) + PartialMessageFileName(id, number, total);
    TStringList body;
    if (!std::filesystem::is_regular_file(path, error) || !ReadPieceBody(path, body)) return false;
    for (int i = 0; i < body.Count(); ++i) joined.Add(body[i]);
  }
  if (joined.Empty()) return false;
  lines = std::move(joined);
  return true;
}

bool DeletePieces(const std::string& folder, const std::string& id, std::int64_t total) {
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) return false;
  bool all = true;
  for (const TPiece& piece : ListPieces(folder, id)) {
    if (total != 0 && piece.Total != total) continue;
    if (!RemoveFileInBatch(piece.Path)) all = false;
  }
  return all;
}

std::string UserPartialsDir() {
  return GetPartialsDir(kSingleUserName);
}

}  // namespace

std::string EncodePartialMessageId(const std::string& id) {
  std::string encoded;
  for (char ch : id) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsFileNameChar(c)) {
      encoded += ch;
    } else {
      encoded += '=';
      encoded += std::to_string(c);
    }
  }
  return encoded;
}

std::string PartialMessageFileName(const std::string& id, std::int64_t number,
                                   std::int64_t total) {
  return EncodePartialMessageId(id) + "(" + FourDigits(number) + ")of(" + FourDigits(total) +
         ").eml";
}

bool StorePartialMessage(const std::string& folder, TEmailMsg& msg) {
  return TEmailMsg::FalseOnFailure("Storing a message piece", [&] {
    TCriticalSectionGuard guard(msg.MessageLock());
    TEmailHeader* header = msg.GetHeader();
    std::string numberText, totalText, id;
    std::int64_t number = 0, total = 0;
    if (!header->GetDecodedParam("Content-Type", "Number", numberText) ||
        !ParseTrimmedDecimal(numberText, INT64_MIN, INT64_MAX, number))
      return false;
    if (!header->GetDecodedParam("Content-Type", "Total", totalText) ||
        !ParseTrimmedDecimal(totalText, INT64_MIN, INT64_MAX, total))
      return false;
    if (!header->GetDecodedParam("Content-Type", "Id", id)) return false;
    // A number outside the name's four digits would put two pieces under
    // one name, or a piece where the join never looks.
    if (number < 1 || total < number || total > kMaxPartialPieces) return false;
    if (!CreateFolderTree(folder)) return false;
    return msg.WriteToFile(WithSlash(folder) + PartialMessageFileName(id, number, total));
  });
}

bool StorePartialMessage(TEmailMsg& msg) {
  return StorePartialMessage(UserPartialsDir(), msg);
}

bool ReassemblePartialMessage(const std::string& folder, const std::string& id,
                              TStringList& lines) {
  bool joined = false;
  TEmailMsg::FalseOnFailure("Joining message pieces", [&] {
    joined = Reassemble(folder, id, 0, lines);
    return joined;
  });
  if (!joined) lines.Clear();
  return joined;
}

bool ReassemblePartialMessage(const std::string& id, std::int64_t total, TStringList& lines) {
  if (total < 1) {
    lines.Clear();
    return false;
  }
  bool joined = false;
  TEmailMsg::FalseOnFailure("Joining message pieces", [&] {
    joined = Reassemble(UserPartialsDir(), id, total, lines);
    return joined;
  });
  if (!joined) lines.Clear();
  return joined;
}

bool DeletePartialMessage(const std::string& folder, const std::string& id) {
  return TEmailMsg::FalseOnFailure("Deleting message pieces",
                                   [&] { return DeletePieces(folder, id, 0); });
}

bool DeletePartialMessage(const std::string& id, std::int64_t total) {
  if (total < 1) return false;
  return TEmailMsg::FalseOnFailure("Deleting message pieces",
                                   [&] { return DeletePieces(UserPartialsDir(), id, total); });
}

}  // namespace halvorn
