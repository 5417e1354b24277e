// The program's one buffered line splitter: bytes received from a peer go in
// as they arrive, complete lines come out. No I/O of its own.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace halvorn {

// Splits a byte stream into lines.
//
// Line ends: CR LF, a bare LF and a bare CR each end a line. An LF that
// directly follows a CR belongs to that CR (one line end), also when the CR
// and the LF arrive in different calls of Append: the result never depends
// on where the stream was cut into pieces. The line end is not part of the
// line; an empty line between two line ends is handed out as an empty line.
//
// NUL bytes are dropped one by one; the bytes after a NUL are kept.
//
// A line that grows beyond MaxLineLength bytes without a line end puts the
// buffer into the overflowed state: Append answers false, the unfinished line
// is discarded, and every later Append is ignored (the caller is expected to
// close the connection). Complete lines received before the overflow can
// still be taken.
//
// Not thread-safe: one owner at a time. Copying is allowed (a plain value).
class TLineBuffer {
 public:
  // 10 000 000 bytes: the largest message the ESMTP server accepts, so a
  // whole message sent without a line break still fits.
  static constexpr std::size_t kDefaultMaxLineLength = 10000000;

  explicit TLineBuffer(std::size_t maxLineLength = kDefaultMaxLineLength)
      : FMaxLineLength(maxLineLength) {}

  // Adds received bytes. Returns false when the buffer is (or now becomes)
  // overflowed; true otherwise.
  bool Append(std::string_view data);

  // Moves the oldest complete line into `line` and answers true; false (and
  // `line` untouched) when no complete line waits.
  bool TakeLine(std::string& line);

  // Number of complete lines waiting.
  std::size_t LineCount() const { return FLines.size(); }
  // The text received after the last line end (not yet a line).
  const std::string& PartialLine() const { return FPartial; }
  // True when complete lines wait or a partial line exists.
  bool HasPendingInput() const { return !FLines.empty() || !FPartial.empty(); }
  bool Overflowed() const { return FOverflowed; }

  std::size_t MaxLineLength() const { return FMaxLineLength; }
  // Changes the cap; a partial line already longer overflows at the next
  // Append.
  void SetMaxLineLength(std::size_t value) { FMaxLineLength = value; }

  // Forgets the queued lines, the partial line, a pending CR and the
  // overflowed state.
  void Clear();
  // Forgets the queued lines and the partial line only (a CR just received
  // still swallows a following LF).
  void ResetInput();

 private:
  std::size_t FMaxLineLength;
  std::deque<std::string> FLines;
  std::string FPartial;
  bool FAfterCR = false;  // the last byte kept was a CR that ended a line
  bool FOverflowed = false;
};

}  // namespace halvorn
