// Shared pieces of the queue and repository tests: a throw-away install
// folder with the account and repository modules started, message texts and
// files, and a recorder of log records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "account_test_support.h"
#include "email_msg_fakes.h"
#include "foundation/log/log_sink.h"
#include "message/accounts.h"
#include "message/email_msg.h"
#include "message/email_msg_list.h"
#include "message/message_repository.h"
#include "message/processing_options.h"
#include "support/test_support.h"

namespace halvorn::test {

// A message text with CR LF line ends.
inline std::string MailText(const std::string& subject, const std::string& messageId,
                            const std::string& body = "body\r\n") {
  std::string text;
  if (!subject.empty()) text += "Subject: " + subject + "\r\n";
  if (!messageId.empty()) text += "Message-Id: <" + messageId + ">\r\n";
  return text + "\r\n" + body;
}

// Writes a message file (without property line) and answers its path.
inline std::string WriteMessageFile(const std::string& folder, const std::string& name,
                                    const std::string& text) {
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/" + name;
  EXPECT_TRUE(WriteFileBytes(path, text)) << path;
  return path;
}

// The message part of a message file: what follows its property line.
inline std::string MessagePartOf(const std::string& fileBytes) {
  if (fileBytes.rfind("X-SMTP: ", 0) != 0) return fileBytes;
  const std::size_t end = fileBytes.find("\r\n");
  return end == std::string::npos ? std::string() : fileBytes.substr(end + 2);
}

// The names of the ".eml" files in a folder, sorted (hidden ones too).
inline std::vector<std::string> EmlFiles(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".eml") == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Records every log record while it lives.
class LogRecorder {
 public:
  struct TRecord {
    std::string Service, Text;
    int Detail;
    bool Error;
  };
  LogRecorder() {
    Clear();
    SetLogReceiver(&Receive);
  }
  ~LogRecorder() { SetLogReceiver(nullptr); }
  LogRecorder(const LogRecorder&) = delete;
  LogRecorder& operator=(const LogRecorder&) = delete;

  static std::vector<TRecord> Records() {
    std::lock_guard<std::mutex> lock(Mutex());
    return Store();
  }
  static void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    Store().clear();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<TRecord>& Store() {
    static std::vector<TRecord> records;
    return records;
  }
  static void Receive(const std::string& service, const std::string& text, std::uint8_t detail,
                      bool error) {
    std::lock_guard<std::mutex> lock(Mutex());
    Store().push_back({service, text, detail, error});
  }
};

// A throw-away install folder (HALVORN_HOME) with the account and repository
// modules started and the processing options at their defaults, so each test
// has a repository of its own, loaded from that folder on first use.
class RepositoryTest : public MessageFolderTest {
 protected:
  RepositoryTest() {
    StartAccountsModule();
    StartMessageRepositoryModule();
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
  }
  ~RepositoryTest() override {
    EndMessageRepositoryModule();
    EndAccountsModule();
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
  }

  // Changes the global processing options for the test.
  template <class F>
  static void SetOptions(F change) {
    TProcessingOptions options = GetProcessingOptions(kSingleUserName);
    change(options);
    SetProcessingOptions(kSingleUserName, options);
  }

  static TMessageRepository& Repository() { return *GetMessageRepository(kSingleUserName); }

};

}  // namespace halvorn::test
