#include "foundation/app/main_window_notifications.h"

#include <atomic>
#include <memory>

#include "foundation/files/install_folders.h"
#include "platform/single_instance.h"
#include "platform/window_messages.h"

namespace halvorn {
namespace {

std::atomic<TWindowHandle> GMainWindowHandle{0};

constexpr std::uint8_t kKindNumbersDownload = 10;
constexpr std::uint8_t kKindNumbersDelete = 11;
constexpr std::uint8_t kKindMailboxText = 1;
constexpr std::uint8_t kKindPercent = 14;
constexpr std::int32_t kMaxPackedNumber = 65535;

void PostWithText(std::uint32_t msg, TMessageParam wParam, std::unique_ptr<std::string> text) {
  TWindowHandle window = GMainWindowHandle.load();
  if (window == 0) return;
  auto lParam = reinterpret_cast<TMessageParam>(text->c_str());
  platform::PostWindowMessage(window, msg, wParam, lParam, std::move(text));
}

}  // namespace

TWindowHandle GetMainWindowHandle() {
  return GMainWindowHandle.load();
}

void SetMainWindowHandle(TWindowHandle window) {
  GMainWindowHandle.store(window);
}

void PostToMainWindow(std::uint32_t msg, TMessageParam wParam, TMessageParam lParam) {
  TWindowHandle window = GMainWindowHandle.load();
  if (window == 0) return;
  platform::PostWindowMessage(window, msg, wParam, lParam);
}

void PostMainMessage(std::uint32_t msg) {
  PostToMainWindow(msg, 0, 0);
}

void PostToMainFormByClass(std::uint32_t msg) {
  platform::PostToWindowClass(kMainFormClassName, msg);
}

void PostStatus(std::uint8_t kind) {
  if (kind == kKindNumbersDownload || kind == kKindNumbersDelete) return;
  // Kind 0 (hide the download panel) goes three times in a row.
  int repeats = kind == 0 ? 3 : 1;
  for (int i = 0; i < repeats; ++i) PostToMainWindow(WM_POP_STATUS, kind, 0);
}

void PostStatusNumbers(std::uint8_t kind, std::int32_t first, std::int32_t second) {
  if (kind != kKindNumbersDownload && kind != kKindNumbersDelete) return;
  if (first > kMaxPackedNumber || second > kMaxPackedNumber) return;
  auto low = static_cast<std::uint32_t>(first) & 0xFFFFu;
  auto high = static_cast<std::uint32_t>(second) & 0xFFFFu;
  PostToMainWindow(WM_POP_STATUS, kind, low | (high << 16));
}

void PostStatusText(const std::string& text) {
  if (text.empty()) return;
  PostWithText(WM_POP_STATUS, kKindMailboxText, std::make_unique<std::string>(text));
}

void PostProgressKind(std::uint8_t kind) {
  PostToMainWindow(WM_SMTP_STATUS, kind & 0x7Fu, 0);
}

void PostProgressPercent(std::int32_t done, std::int32_t total) {
  // A total of 0 or less has no percent; a done count outside 0..total would
  // not fit the 16 bits the percent travels in.
  if (total <= 0) return;
  double percent = static_cast<double>(done) / static_cast<double>(total) * 100.0;
  if (percent < 0.0) percent = 0.0;
  if (percent > 100.0) percent = 100.0;
  auto whole = static_cast<std::uint32_t>(percent);
  PostToMainWindow(WM_SMTP_STATUS, kKindPercent | (whole << 16), 0);
}

void PostMsgListChanged(const TEmailMsgList* queue, std::uint8_t code) {
  PostToMainWindow(WM_QUEUE_CHANGED, reinterpret_cast<TMessageParam>(queue), code);
}

TWindowHandle CreateMsgWindow() {
  return platform::CreateMessageWindow();
}

void DestroyMsgWindow(TWindowHandle window) {
  platform::DestroyMessageWindow(window);
}

std::string SingleInstanceName(const std::string& applicationTitle) {
  return platform::MakeSingleInstanceName(applicationTitle, GetInstallDirKey());
}

}  // namespace halvorn
