// The program's side of the interception library's requests.
//
// A program started through the wrapper command has the library preloaded;
// each of its connections to port 110 or 25 becomes a request on the
// program's Unix socket (<runtime folder>/halvorn-lsp-<install key>.sock, see
// src/platform/lsp/lsp_protocol.h). The listener takes one request at a
// time on the main thread: it puts the connection's original destination into
// the library's redirect record (LspGetRedirectTable), hands the request to
// the registered handler as the window message WM_LSP_SMTP_REQUEST (1144) or
// WM_LSP_POP_REQUEST (1145) with WParam the process id and LParam the
// destination address (in_addr.s_addr: first byte of the dotted form lowest;
// 0 for a POP3 request without destination), and sends back whatever the
// record holds when the handler returns:
//   - unchanged: the connection goes to its original destination;
//   - address 0 and port 0: the connection is refused;
//   - a loopback address and a local server's port: the connection is made
//     to 127.0.0.1 on that port from that loopback address, so the server
//     finds its TIPMapping entry by the connection's peer address.
// A test acknowledgement of the library (its connection to 0.0.0.0:110) is
// counted and posted to the main window as WM_INTERCEPT_TEST_ACK (1198).
#pragma once

#include <cstdint>
#include <functional>

namespace halvorn {

// The main window's request handler: called on the main thread while the
// requesting program waits (up to 60 s, then its connection goes through
// unchanged). It reads and may overwrite the redirect record.
using TLspRequestHandler =
    std::function<void(std::uint32_t msg, std::uintptr_t wParam, std::uintptr_t lParam)>;

// Replaces the handler (empty: every request is left alone). Main thread.
void SetLspRequestHandler(TLspRequestHandler handler);

// Starts listening on the program's socket. Main thread, with its event loop
// running. False (and logged) when the socket cannot be made or another
// instance with the same install folder already listens. A second start
// while listening answers true.
bool StartLspListener();
// Stops listening and removes the socket file. Main thread.
void StopLspListener();
bool LspListenerActive();

// How many test acknowledgements have arrived since the program started.
// Safe from any thread.
std::uint64_t LspTestAckCount();

}  // namespace halvorn
