// The seed dictionaries a new installation starts from, and the compact form
// they are kept in.
//
// A new user's global dictionaries start as copies of the install folder's
// "SpamBayesianDictionary.bak" and "PersBayesianDictionary.bak"
// (bayesian_dictionary.h), so the Bayesian test judges mail from the first
// message. The program carries both seeds compiled in, in the compact form
// below (src/classify/data/, made by scripts/train-defaults.sh), and writes
// each ".bak" at module start when none is there.
//
// Compact form of a table image, little-endian:
//   the image's first 1022 bytes (header fields and novelty ring) as they
//   are; a 32-bit count N of the counters that are not 0; then N pairs in
//   slot order, each two unsigned LEB128 numbers: the slot's distance from
//   the previous one less 1 (the first: the slot itself) and the count (1 to
//   65535). Nothing follows.
//
// Pure functions apart from InstallBayesianSeeds; any thread.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// The compact form of a valid table image (BayesianImageProblem is empty);
// std::invalid_argument for anything else.
std::string CompactBayesianImage(std::string_view image);
// The table image of a compact form: empty text on success, else what is
// wrong with it (then `image` is empty). Refuses a header that does not make
// a valid table, slots beyond the table or out of order, counts of 0 or above
// 65535, a cut-off form and bytes after the last pair.
std::string ExpandCompactBayesianImage(std::string_view compact, std::string& image);

// The seeds compiled into the program, in compact form; an empty text when
// the build carries none.
std::string_view ShippedSpamBayesianSeed();
std::string_view ShippedPersBayesianSeed();

// Writes each shipped seed, expanded, as its ".bak" into the install folder
// when no file of that name is there (never replacing one), both made
// durable by one commit. Answers an empty text, or the errors of the writes,
// one a line.
std::string InstallBayesianSeeds();

}  // namespace halvorn
