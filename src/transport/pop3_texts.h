// The fixed texts of the local POP3 server that the mail reader or the
// held-mail viewer sees, and the welcome message. Kept byte for byte,
// misspellings included: readers and users have seen them so.
#pragma once

namespace halvorn {

inline constexpr const char* kPop3MaxConnections =
    "-ERR : Maximum Connections exceded. Please try again later.";
inline constexpr const char* kPop3LocalOnly = "-ERR Sorry, only local connections allowed";
inline constexpr const char* kPop3LocalOnlyLog =
    "Dropping Connection. Local connections allowed only.  Connection attempted by: ";
// The second line of every sign-off.
inline constexpr const char* kPop3SignOffLine = "Halvorn POP3 server signing off";

// Why a message left the mailbox (the queue logs them).
inline constexpr const char* kPop3FlaggedReason = "Flagged deleted by the mail reader";
inline constexpr const char* kPop3OrphanReason = "Its remote account no longer exists";
inline constexpr const char* kPop3QuitReason = "Deleted by the mail reader";
inline constexpr const char* kPop3LeftoverReason = "Deleted by the mail reader before a restart";

// The held-mail reasons of a session that dropped the line.
inline constexpr const char* kPop3DroppedDeletedReason =
    "This message was sent to the Pendhold because your e-mail reader deleted it but then "
    "dropped the line before confirming it's deletion.  This is just a precaution.  Your email "
    "reader probably already delivered this message to you";
inline constexpr const char* kPop3DroppedRetrievedReason =
    "This message was sent to the Pendhold because your e-mail reader downloaded it and then "
    "dropped the line prematurely.  This is just a precaution.  Your email reader probably "
    "already delivered this message to you";

// The first-run welcome message; "<!Date>" becomes the current date.
inline constexpr const char* kWelcomeMessageTemplate =
    "Date: <!Date>\r\n"
    "From: Halvorn <welcome@halvorn.invalid>\r\n"
    "Subject: Welcome to Halvorn\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/alternative; boundary=\"----=_HalvornWelcome\"\r\n"
    "\r\n"
    "------=_HalvornWelcome\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "\r\n"
    "Welcome to Halvorn.\r\n"
    "\r\n"
    "Your e-mail reader now reads your mail through Halvorn. Halvorn fetches\r\n"
    "your mail, checks every message before your reader sees it, and adds a\r\n"
    "short notice with links to each one.\r\n"
    "\r\n"
    "When Halvorn misjudges a message, click the link of the right category\r\n"
    "in its notice. Each message you categorise teaches Halvorn what you\r\n"
    "want and what you do not, so it judges the next ones better.\r\n"
    "\r\n"
    "------=_HalvornWelcome\r\n"
    "Content-Type: text/html; charset=us-ascii\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "\r\n"
    "<html><body>\r\n"
    "<p><b>Welcome to Halvorn.</b></p>\r\n"
    "<p>Your e-mail reader now reads your mail through Halvorn. Halvorn fetches\r\n"
    "your mail, checks every message before your reader sees it, and adds a\r\n"
    "short notice with links to each one.</p>\r\n"
    "<p>When Halvorn misjudges a message, click the link of the right category\r\n"
    "in its notice. Each message you categorise teaches Halvorn what you\r\n"
    "want and what you do not, so it judges the next ones better.</p>\r\n"
    "</body></html>\r\n"
    "\r\n"
    "------=_HalvornWelcome--\r\n";

}  // namespace halvorn
