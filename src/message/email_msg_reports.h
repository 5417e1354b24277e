// The two report files of a message and the fragments they are built from
// (the TEmailMsg operations are declared with the message; these are the
// pieces the notice also uses).
//
// A report file is written once: it appears whole or not at all (written to
// a temporary file, flushed and renamed), never replaces another file (a
// name found taken at the rename is drawn again and stored in the side
// record), and an existing report is never rewritten. Everything the
// message contributes is HTML-escaped.
#pragma once

#include <string>

namespace halvorn {

class TEmailMsg;

// Fills the message's MessageInfo fragment: "Sent From", "Sent To",
// "Carbon Copied to" and "Subject" lines (each present even when empty),
// and, when the Date header reads, "Date Sent" in the local time of that
// date with the date as written when that differs. Takes the message lock.
// Never raises for bad mail.
void BuildMessageInfo(TEmailMsg& msg);

// Writes the summary report file when it does not exist yet: a page with
// the message information and the summary table (SummaryInfo, built
// before). Takes the message lock. Answers an empty text, else the error.
std::string WriteSummaryReportFile(TEmailMsg& msg);

}  // namespace halvorn
