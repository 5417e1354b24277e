// The store of split messages: the pieces of a message sent as several
// messages of type message/partial (RFC 2046), kept as files until every
// piece has arrived and the enclosed message can be joined.
//
// A piece file is named after the set's id, the piece's number and the
// total: the encoded id, "(", the number, ")of(", the total, ").eml", the two
// numbers in four decimal digits ("abc/1", 2 of 3: "abc=471(0002)of(0003).eml").
// The id is encoded character by character: the blank and the visible
// characters 33 to 126 stay, except the nine that no file name may hold
// (double quote * / : < > ? \ |); every other character becomes "=" and its
// byte value in decimal. A piece file holds the piece message in the message
// file format (property line first).
//
// A piece belongs to an id only when its name is exactly that id's name
// pattern (compared with case), so the pieces of "a(x" are never taken for
// pieces of "a", nor those of "ABC" for pieces of "abc". Only numbers from 1
// to the total and totals up to 9999 are stored, so every name holds the
// numbers whole.
//
// The incoming processing thread stores each piece, joins the set once all
// pieces are there, makes a message of the joined lines and deletes the
// pieces. All operations answer false (or no lines) instead of raising for a
// missing folder or piece, a bad parameter or an unreadable file. Safe from
// any thread; the caller holds no queue or repository lock.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/text/string_list.h"
#include "message/email_msg.h"

namespace halvorn {

// The largest total (and number) a stored piece may have.
inline constexpr std::int64_t kMaxPartialPieces = 9999;

// The encoded id (see above).
std::string EncodePartialMessageId(const std::string& id);
// The piece file's name. Each number in decimal, padded with "0" on the left
// to four digits; one of more digits keeps its last four.
std::string PartialMessageFileName(const std::string& id, std::int64_t number, std::int64_t total);

// Writes the piece to the folder (created when missing) under its name,
// replacing a piece of the same name, whole (atomically). The decoded
// "number", "total" and "id" parameters of the message's "Content-Type" name
// it. False, storing nothing, when one is missing, the number or the total
// is no integer, or not 1 <= number <= total <= 9999; else the write's
// answer.
bool StorePartialMessage(const std::string& folder, TEmailMsg& msg);
// StorePartialMessage into the user's "Partials" folder.
bool StorePartialMessage(TEmailMsg& msg);

// Joins the pieces of the id: the lines of each piece's body (its header
// taken off, its transfer encoding decoded when it names a known one), the
// pieces in number order, every line kept. The total is that of the first
// piece of the id in name order. True with the joined lines (replacing
// `lines`); false, with `lines` empty, when the folder is missing, a piece is
// missing, a piece cannot be read, or the join has no line.
bool ReassemblePartialMessage(const std::string& folder, const std::string& id,
                              TStringList& lines);
// The same for the pieces of the id with that total in the user's
// "Partials" folder.
bool ReassemblePartialMessage(const std::string& id, std::int64_t total, TStringList& lines);

// Deletes every piece of the id. True when the folder exists and every
// deletion succeeded (a failed one does not stop the others).
bool DeletePartialMessage(const std::string& folder, const std::string& id);
// The same for the pieces of the id with that total in the user's
// "Partials" folder.
bool DeletePartialMessage(const std::string& id, std::int64_t total);

}  // namespace halvorn
