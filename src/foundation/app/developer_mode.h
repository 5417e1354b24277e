// Developer mode: a switch of the whole program that adds diagnostic output.
#pragma once

namespace halvorn {

// Stores the program's command-line arguments (argv[1] on) for the developer
// switch. main() calls it first thing; safe from any thread.
void SetCommandLine(int argc, const char* const* argv);

// The developer switch, worked out anew at every call: the host name equals
// the developer host name (none is set, so it never does), some command-line
// argument is "-Vostek" ignoring case, or the environment variable
// "IsVostek" is exactly "Yes". Safe from any thread.
bool IsDeveloperMode();

}  // namespace halvorn
