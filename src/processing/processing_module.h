// Start and end of the processing subsystem.
//
// The main program calls StartProcessingModule after the classification
// module started (rules find their tests in its list) and
// EndProcessingModule before that module ends. Tests may call them again.
#pragma once

namespace halvorn {

// Makes the global action list and the global rule list, both empty (the
// rules file fills them later). Lists made by an earlier start are replaced.
// Never raises: an error is logged.
void StartProcessingModule();

// Drops the global rule list, then the global action list; a worker still
// holding a list frees it when it lets go. Stop the incoming processing
// thread first. Never raises.
void EndProcessingModule();

}  // namespace halvorn
