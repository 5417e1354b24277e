// Notifications posted to the main window.
//
// Worker threads, the local servers, the queues, the account lists and the
// local web server never touch the user interface: they post numbered
// messages to the main window, whose handlers update the status panels,
// refresh tabs, start mail checks or deal with failed workers. Messages are
// posted, never sent: the poster does not wait, and a message posted before
// the main window has stored its handle, or after the handle is cleared, is
// silently dropped. Every poster is safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/app/window_handle.h"

namespace halvorn {

class TEmailMsgList;

// WParam and LParam of a posted message; wide enough for a pointer.
using TMessageParam = std::uintptr_t;

// Message numbers, counted from the first user message number.
constexpr std::uint32_t WM_USER = 0x400;
constexpr std::uint32_t WM_POP_STATUS = 0x464;
constexpr std::uint32_t WM_SMTP_STATUS = 0x465;
constexpr std::uint32_t WM_QUEUE_CHANGED = 0x471;
constexpr std::uint32_t WM_REFRESH_ACCOUNTS = 0x47A;
constexpr std::uint32_t WM_INCOMING_THREAD_FAILED = 0x48E;
constexpr std::uint32_t WM_OUTGOING_THREAD_FAILED = 0x48F;
constexpr std::uint32_t WM_DOWNLOAD_THREAD_FAILED = 0x490;
constexpr std::uint32_t WM_SEND_THREAD_FAILED = 0x491;
constexpr std::uint32_t WM_RESTORE_WINDOW = 0x492;
constexpr std::uint32_t WM_CHECK_MAIL_WHEN_IDLE = 0x494;
constexpr std::uint32_t WM_CANCEL_DOWNLOAD = 0x495;
constexpr std::uint32_t WM_REFRESH_REPORT_DAYS = 0x496;
constexpr std::uint32_t WM_REFRESH_BACKUP_DAYS = 0x497;

// The class name the main window registers under; a second instance finds
// the first one's window by it.
inline constexpr const char* kMainFormClassName = "TMainQuorForm";

// The main window's handle; 0 until the main window stores it while it is
// being created, and again after it clears it at module end.
TWindowHandle GetMainWindowHandle();
// Stores (or with 0 clears) the main window's handle. Main thread, before any
// worker exists.
void SetMainWindowHandle(TWindowHandle window);

// Posts exactly (msg, wParam, lParam) to the main window; nothing when its
// handle is not stored.
void PostToMainWindow(std::uint32_t msg, TMessageParam wParam, TMessageParam lParam);

// Posts the bare message (WParam 0, LParam 0) to the main window.
void PostMainMessage(std::uint32_t msg);

// Posts the bare message to the top-level window of class "TMainQuorForm",
// found at the time of the call: the main window of this process when one
// is registered, else the one of the instance holding the single-instance
// guard (platform/single_instance.h). This needs no stored handle, which is
// how a second instance reaches the first. When there is no such window the
// post goes nowhere. May wait up to two seconds when it has to reach another
// process.
void PostToMainFormByClass(std::uint32_t msg);

// WM_POP_STATUS with the status kind in WParam and LParam 0. Kinds 10 and 11
// carry numbers and are refused here (nothing posted); kind 0 is posted three
// times in a row.
void PostStatus(std::uint8_t kind);

// WM_POP_STATUS for kind 10 or 11 (other kinds: nothing posted) with the
// first number in LParam's low 16 bits and the second in its high 16 bits.
// Nothing is posted when either number is above 65535; a negative number is
// packed by its low 16 bits.
void PostStatusNumbers(std::uint8_t kind, std::int32_t first, std::int32_t second);

// WM_POP_STATUS with kind 1 carrying a copy of the text, whose address is in
// LParam (a zero-terminated std::string::c_str()). The posted event owns the
// copy: the handler may take it (WindowMessageEvent::TakeText) and otherwise
// it is freed with the event. An empty text posts nothing.
void PostStatusText(const std::string& text);

// WM_SMTP_STATUS with the kind's low 7 bits and percent 0.
void PostProgressKind(std::uint8_t kind);

// WM_SMTP_STATUS with kind 14 and the percent done / total * 100 (floating
// point, truncated) in WParam's high 16 bits. Nothing is posted when total is
// not above 0; the percent is kept between 0 and 100.
void PostProgressPercent(std::int32_t done, std::int32_t total);

// WM_QUEUE_CHANGED with the queue's address in WParam and the change code in
// LParam. The queue is only identified, never touched.
void PostMsgListChanged(const TEmailMsgList* queue, std::uint8_t code);

// A hidden message-only window ("STATIC", "QuorMsgWindow") on the calling
// thread, a target for replies posted to the thread. The caller owns it and
// destroys it with DestroyMsgWindow on the same thread.
TWindowHandle CreateMsgWindow();
void DestroyMsgWindow(TWindowHandle window);

// The name of the single-instance guard and of the channel a second instance
// reaches the first through: the application title, the user and the
// install-folder key (GetInstallDirKey), so instances of different users or
// install folders never meet.
std::string SingleInstanceName(const std::string& applicationTitle);

}  // namespace halvorn
