// Start and end of the classification subsystem.
//
// The main program calls InitializeClassifyModule after the lists module
// started (the phrase lists must exist: the test list follows their renames)
// and FinalizeClassifyModule before the lists module ends. Tests may call
// them again.
#pragma once

namespace halvorn {

// Creates the global test list, empty (the rules file fills it later),
// installs its PhraseListRenamed as the rename event of the global phrase
// lists, reads the stored training switches from the registry, starts the
// Bayesian dictionaries' module (the registry's test count array; the
// globals may open) and writes the shipped seed dictionaries into the
// install folder where none are. An error on the way is logged; never
// raises.
void InitializeClassifyModule();

// Removes the rename event from the phrase lists first (no rename reaches a
// list being freed), then drops the global test list. The list waits for its
// training lock within the lock's time-out and gives it back before it goes
// (a worker still holding the list frees it when it lets go). Then ends the
// Bayesian dictionaries' module: the test count array is written back, and
// the spam and then the personal global dictionary are saved and let go.
// Never raises.
void FinalizeClassifyModule();

}  // namespace halvorn
