// Two properties of the URL object. Any text parses without harm into parts
// that keep their limits (a document of at most 999 characters, a host and a
// user without "/", a host without ":"; read for checksums, a host may hold
// "/"). And a local link carries any pairs:
// names and values cut from the input, written by GetUrl and read back by
// SetUrl, come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "message/quor_url.h"

namespace {

void CheckParse(std::string_view input) {
  halvorn::TQuorUrl url;
  url.SetUrl(std::string(input));
  if (url.Document.size() > 999) std::abort();
  if (url.Host.find_first_of("/:") != std::string::npos) std::abort();
  if (url.User.find_first_of("/:@") != std::string::npos) std::abort();
  (void)url.GetUrl();
  (void)url.GetRelativeUrl();
  (void)url.HostKind();
  // Read as body-URL checksums read it, the host may hold "/", never ":".
  url.SetUrl(std::string(input), true);
  if (url.Document.size() > 999) std::abort();
  if (url.Host.find(':') != std::string::npos) std::abort();
  (void)url.GetUrl();
}

// Pairs separated by 0xFF bytes, each name and value split at the first 0xFE.
void CheckLocalLink(std::string_view input) {
  halvorn::TQuorUrl url;
  url.Document = "Fuzz";
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t start = 0;
  while (start <= input.size()) {
    std::size_t end = input.find('\xFF', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view piece = input.substr(start, end - start);
    const std::size_t split = piece.find('\xFE');
    std::string name(piece.substr(0, split));
    std::string value(split == std::string_view::npos ? std::string_view() : piece.substr(split + 1));
    // A name is the text before the first "=", and an empty value removes
    // its pair; names match ignoring case, so each is used once.
    if (!name.empty() && name.find('=') == std::string::npos && !value.empty() &&
        url.IndexOfName(name) < 0) {
      url.SetValue(name, value);
      pairs.emplace_back(name, value);
    }
    start = end + 1;
  }
  if (url.GetQuery().size() > 9999) return;  // links longer than that are cut
  halvorn::TQuorUrl back;
  back.SetUrl(url.GetUrl());
  // A local link starts with the installation's link key; the rest follow.
  if (back.Document != "Fuzz" || back.Count() != url.Count() ||
      url.Count() - static_cast<int>(pairs.size()) != (url.IndexOfName("LinkKey") >= 0 ? 1 : 0) ||
      back.Values("LinkKey") != url.Values("LinkKey"))
    std::abort();
  for (const auto& [name, value] : pairs) {
    if (back.Values(name) != value) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckParse(input);
  CheckLocalLink(input);
  return 0;
}
