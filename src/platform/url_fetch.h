// Fetching a URL without blocking the event loop, for the local web server's
// pictures taken from the internet.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace halvorn::platform {

struct UrlFetchResult {
  bool Ok = false;
  std::string Bytes;  // the content (Ok)
  std::string Error;  // why not (not Ok)
};

// Starts fetching an http or https URL (redirects followed) with the user
// agent; `done` runs once from the event loop of the calling thread with the
// result. A content above maxBytes, a fetch not done within timeoutMs, or
// any other scheme fails. Needs a Qt application object; main thread only.
void FetchUrl(const std::string& url, const std::string& userAgent, std::int64_t maxBytes,
              int timeoutMs, std::function<void(UrlFetchResult)> done);

// Runs the calling thread's event loop until the condition holds or
// timeoutMs have passed; true when it holds. For self-tests that talk to a
// server of the same thread.
bool RunEventsUntil(const std::function<bool()>& condition, int timeoutMs);

}  // namespace halvorn::platform
