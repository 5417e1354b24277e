// Small exact text transformations applied before texts are checksummed,
// tokenised or shown as HTML.
#pragma once

#include <string>
#include <string_view>

#include "foundation/text/string_list.h"

namespace halvorn {

// Keeps every URL-safe character (IsUrlSafeChar) except "%" and "+", and
// writes every other byte as "%" and two upper-case hexadecimal digits (a
// space becomes "%20"). Safe from any thread.
std::string UrlEncode(std::string_view text);

// Turns every "+" into a space, then, from the left, each "%" followed by two
// hexadecimal digits into the byte they name. A "%" without two hexadecimal
// digits after it (also at the end of the text) is copied unchanged and
// decoding goes on with the next character. Safe from any thread.
std::string UrlDecode(std::string_view text);

// ---------------------------------------------------------------------------
// Everything below works on the caller's texts only, never raises on ordinary
// input, and is safe from any thread. The rules are exact: the results feed
// message checksums that must agree with those other installations compute.

// A character class: true for the bytes it holds (IsLetterChar and the
// others of text_helpers.h).
using TCharClass = bool (*)(unsigned char);

// Entities and escaping

// Decodes one entity candidate such as "&amp;" or "&#65" (a missing final ";"
// is supplied). Named entities are matched case-sensitively against the
// program's own small table ("nbsp" gives a plain space); "&#8217;",
// "&#8220;", "&#8221;" and "&#8364;" give ', ", " and E; any other "&#..."
// is read as a signed decimal number reduced to its low 8 bits (not a number,
// or 0, is no entity; hexadecimal forms are never decoded). Answers false and
// sets `character` to "&" when the candidate is no entity.
bool HtmlEntityToChar(std::string_view candidate, char& character);

// Decodes the entities of the text. At each "&" the longest candidate up to
// the first ";" within the next 10 characters (or the last character looked
// at) is tried first, then ever shorter ones down to three characters, so an
// entity without its ";" still decodes when other characters follow its name.
// An "&" that starts no entity is copied with the character after it. The
// text is replaced, and true answered, only when the length changed.
bool HtmlDecodeEntitiesInPlace(std::string& text);

// Escapes the text for HTML: < > " & become entities, a space after a space
// becomes "&nbsp;", a byte above 126 becomes "&#" + its code + ";". True when
// the length changed.
bool HtmlEscape(std::string& text);
// HtmlEscape on every line; true when any line changed.
bool HtmlEscapeList(TStringList& list);
// Every line escaped and "<br>" appended.
void LinesToHtml(TStringList& list);

// Characters and replacing

// Removes every character for which the class is false; true when anything
// was removed.
bool KeepCharsMatching(std::string& text, TCharClass charClass);
// Removes every character for which the class is true; true when anything
// was removed.
bool RemoveCharsMatching(std::string& text, TCharClass charClass);
// The characters of the text for which the class is true.
std::string KeepCharsMatchingCopy(std::string_view text, TCharClass charClass);

// Replaces every occurrence of oldText, left to right, case-sensitive; the
// search resumes after each inserted text, which is never searched again.
// Nothing happens when oldText is empty or equals newText.
void ReplaceAll(std::string_view oldText, std::string_view newText, std::string& text);

// Replaces the first occurrence of oldText again and again, as if searching
// from the start each time, until none is left; true when anything was
// replaced. Refused (false, text unchanged) when oldText is empty, equals
// newText or newText contains it. Runs in time linear in the work done; a
// replacement that keeps making the text longer stops once the text has
// grown past 64 times its size plus 1 MB, leaving the rest as it stands.
bool ReplaceAllChecked(std::string_view oldText, std::string_view newText, std::string& text);

// Normalisation

// Removes the dots of common abbreviations ("e.g." and "i.e." both become
// "eg", "Mr. " becomes "mr ", "U.S.A." becomes "usa", ...), so that sentence
// splitting does not break at them.
void StripAbbreviationDots(std::string& text);
// Removes "-----original message-----" (in lower case only), then halves runs
// of dots, "!", "?" and spaces with one pass each.
void CollapsePunctuation(std::string& text);
// Removes quoting markers: while the first ">" of a line stands within its
// first 8 characters, the line loses everything up to and including it. The
// text is rebuilt from its lines (each ending in CR LF) only when a line
// changed.
void StripQuotePrefixes(std::string& text);
// Tidies lines for sentence splitting: double spaces and " ." shrink, one
// leading space goes, lines of 72 characters or more are cut into sentences
// at the first ".", "!" or "?" from position 50 on, and runs of empty lines
// shrink to one.
void NormalizeLines(TStringList& list);

// Turns look-alike characters back into the letters they imitate ("@" to
// "a", "0" beside a letter to "o", accented letters to plain ones, ...). The
// text is trimmed and keeps one added space at each end. A text longer than
// 100000 characters is left alone. True when the padded text changed.
bool NormalizeLookalikeChars(std::string& text);
// Joins spaced-out letters ("f r e e" becomes "free"): characters other than
// letters become spaces (or vanish between two letters), single letters
// separated by one space are joined, runs of spaces shrink to one and the
// text is trimmed. A text that with four added spaces is longer than 100000
// characters is left alone (false); otherwise the answer is true.
bool JoinSpacedLetters(std::string& text);
// The length minus one of the longest run of spaces followed by another
// character; 0 when there is none.
int LongestSpaceRun(std::string_view text);

// Replaces the list by the pieces of the text between characters of the
// class (the separators are dropped; adjacent separators give empty pieces;
// an empty last piece is not added).
void SplitByPredicate(std::string_view text, TCharClass charClass, TStringList& list);
// Replaces the list by the words of the text: pieces between invisible
// characters, keeping only their letters ("don't" gives "dont"), empty ones
// dropped.
void ParseIntoWords(std::string_view text, TStringList& list);

// Extraction and judging

// Cuts bare web addresses ("www.x.y", "a.b.c.d", "x.com", ...) out of the
// text and appends them to the list.
void CutWebAddresses(std::string& text, TStringList& list);

// True when the text ends with the suffix (case-sensitive); an empty suffix
// ends every text.
bool EndsWith(std::string_view text, std::string_view suffix);
// True when the host, lower-cased, ends with one of the built-in domains of
// banks, card schemes and payment services (a plain suffix test, no label
// boundary).
bool IsBankingDomain(std::string_view host);
// The same for large software, hardware, retail, auction, travel and
// security-software companies, a domain registrar and a deposit-insurance
// agency.
bool IsMajorVendorDomain(std::string_view host);

// A score of how unpronounceable a name is: runs of three and more
// consonants add to it.
int ConsonantRunScore(std::string_view name);

}  // namespace halvorn
