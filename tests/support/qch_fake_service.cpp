#include "support/qch_fake_service.h"

#include <sstream>

namespace halvorn::test {

QchFakeService::QchFakeService(const std::string& scriptJson, const std::string& host,
                               std::uint16_t tcpPort, std::uint16_t udpPort)
    : FHost(host) {
  if (!WriteFileBytes(FFolder.Sub("script.json"), scriptJson)) {
    FError = "cannot write the script";
    return;
  }
  std::string error;
  const std::string line = StartAndReadFirstLine(
      FServer,
      {PythonPath(), "-u", DataPath("qch_fake_service.py"), FFolder.Sub("script.json"),
       FFolder.Sub("log.txt"), host, std::to_string(tcpPort), std::to_string(udpPort)},
      {}, error);
  std::istringstream words(line);
  std::string tag;
  unsigned tcp = 0;
  unsigned udp = 0;
  if (words >> tag >> tcp >> udp && tag == "PORT") {
    FTcpPort = static_cast<std::uint16_t>(tcp);
    FUdpPort = static_cast<std::uint16_t>(udp);
  } else {
    FError = "the fake service did not start: " + line + error;
  }
}

QchFakeService::~QchFakeService() {
  FServer.Stop();
}

std::string QchFakeService::LogText() const {
  return ReadFileBytes(FFolder.Sub("log.txt"));
}

std::vector<QchFakeService::Event> QchFakeService::Events() const {
  std::vector<Event> events;
  const std::string text = LogText();
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos;
       start = end + 1, end = text.find('\n', start)) {
    std::istringstream words(text.substr(start, end - start));
    Event event;
    words >> event["event"];
    std::string word;
    while (words >> word) {
      const std::size_t eq = word.find('=');
      if (eq != std::string::npos) event[word.substr(0, eq)] = word.substr(eq + 1);
    }
    events.push_back(std::move(event));
  }
  return events;
}

std::vector<QchFakeService::Event> QchFakeService::EventsOf(const std::string& kind,
                                                            int type) const {
  std::vector<Event> result;
  for (Event& event : Events()) {
    if (event["event"] != kind) continue;
    const std::string key = kind == "udp" ? "kind" : "type";
    if (type != -1 && event[key] != std::to_string(type)) continue;
    result.push_back(std::move(event));
  }
  return result;
}

}  // namespace halvorn::test
