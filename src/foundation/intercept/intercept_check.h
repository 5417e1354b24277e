// The interception check the main window runs at its first status tick: a
// connection made under the interception library to 0.0.0.0, port 110 must
// be redirected to the program's own POP3 server, which answers the line
// "~~Intercept check~~" with "~~Intercept confirmed~~".
#pragma once

#include <string>

namespace halvorn {

// Empty text when the interception works, or when the library is older than
// version 6 (too old to be tested); else the failure text: "Could not make
// connection", "Write Failed", "Read Failed", "Read bad value", or why the
// check could not run. Meant for the main thread: window messages are handled
// while it waits (the request listener must answer the probe), at most about
// 5 seconds. Safe from other threads too, provided the main thread runs its
// event loop meanwhile.
//
// The connection is made by a probe process started with the library
// preloaded, since this program itself is never intercepted. A connect to
// 0.0.0.0 reaches the local host on this platform: when Halvorn itself serves
// port 110, an unredirected probe reaches the POP3 server directly, so the
// check cannot tell interception from a direct connection then.
std::string CheckIntercept();

}  // namespace halvorn
