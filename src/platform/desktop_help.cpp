#include "platform/desktop_help.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include <mutex>

namespace halvorn::platform {
namespace {

std::mutex GLock;
HelpHandler GHelpHandler;
UrlOpener GUrlOpener;

}  // namespace

void SetHelpHandler(HelpHandler handler) {
  std::lock_guard<std::mutex> guard(GLock);
  GHelpHandler = std::move(handler);
}

bool HasHelpHandler() {
  std::lock_guard<std::mutex> guard(GLock);
  return static_cast<bool>(GHelpHandler);
}

bool CallHelpHandler(int helpContext) {
  HelpHandler handler;
  {
    std::lock_guard<std::mutex> guard(GLock);
    handler = GHelpHandler;
  }
  if (!handler) return false;
  handler(helpContext);
  return true;
}

bool OpenUrl(const std::string& url) {
  UrlOpener opener;
  {
    std::lock_guard<std::mutex> guard(GLock);
    opener = GUrlOpener;
  }
  if (opener) return opener(url);
  QUrl address(QString::fromStdString(url), QUrl::StrictMode);
  if (!address.isValid()) return false;
  return QDesktopServices::openUrl(address);
}

void SetUrlOpener(UrlOpener opener) {
  std::lock_guard<std::mutex> guard(GLock);
  GUrlOpener = std::move(opener);
}

}  // namespace halvorn::platform
