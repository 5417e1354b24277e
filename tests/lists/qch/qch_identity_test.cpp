// The program's identity at the central service: read from the main
// settings file when it exists, written there when assigned, and only keys
// that fit in a settings line.
#include "lists/qch/qch_identity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/threads/heartbeat.h"
#include "message/email_msg_fakes.h"

namespace halvorn {
namespace {

class QchIdentity : public test::MessageFolderTest {
 protected:
  ~QchIdentity() override { SetQchIdentity(0, ""); }
};

TEST_F(QchIdentity, LoadedFromTheSettingsFileOnlyWhenItExists) {
  SetQchIdentity(5, "old");
  LoadQchIdentity();
  EXPECT_EQ(GetQchIdentity().UserId, 0);
  EXPECT_FALSE(std::filesystem::exists(GetSettingsFilePath()));

  {
    TQuorIniFile settings(GetSettingsFilePath());
    settings.WriteInteger("Security", "UserNumber", 777);
    settings.WriteString("Security", "Key", "Stored-Key");
    settings.UpdateFile();
  }
  LoadQchIdentity();
  EXPECT_EQ(GetQchIdentity().UserId, 777);
  EXPECT_EQ(GetQchIdentity().Key, "Stored-Key");
  EXPECT_EQ(UserNumber.load(), 777);
}

TEST_F(QchIdentity, AnAssignmentIsWrittenAndSavedWithTheSettings) {
  {
    TQuorIniFile settings(GetSettingsFilePath());
    settings.WriteString("Other", "Kept", "yes");
    settings.UpdateFile();
  }
  StoreAssignedQchIdentity(4242, "New-Key");
  TQuorIniFile settings(GetSettingsFilePath());
  EXPECT_EQ(settings.ReadInteger("Security", "UserNumber", 0), 4242);
  EXPECT_EQ(settings.ReadString("Security", "Key", ""), "New-Key");
  EXPECT_EQ(settings.ReadString("Other", "Kept", ""), "yes");

  TQuorIniFile fresh("");
  SaveQchIdentity(fresh);
  EXPECT_EQ(fresh.ReadInteger("Security", "UserNumber", 0), 4242);
  EXPECT_EQ(fresh.ReadString("Security", "Key", ""), "New-Key");
}

TEST_F(QchIdentity, KeysThatFitASettingsLine) {
  const std::pair<std::string, bool> rows[] = {
      {"Abc-123_!~", true},
      {std::string("Short\0\0\0\0", 9), true},
      {"", false},
      {std::string(16, '\0'), false},
      {"with space", false},
      {"line\r\nbreak", false},
      {"tab\t", false},
      {"\x7f", false},
      {"caf\xe9", false},
  };
  for (const auto& [key, valid] : rows) {
    SCOPED_TRACE(key);
    EXPECT_EQ(IsValidQchKey(key), valid);
  }
}

}  // namespace
}  // namespace halvorn
