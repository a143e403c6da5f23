// The registry profile and the Run value in the real registry of the build's Wine
// prefix, below a key that each test creates for itself and removes afterwards.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/registry/registry_profile.h"

namespace skiff {
namespace {

// HKEY_CURRENT_USER\Software\SkiffHouseTests\<unique>, removed with everything below it.
class TestRoot {
 public:
  TestRoot() {
    m_path = "Software\\SkiffHouseTests\\" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(GetTickCount64()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &m_key, nullptr),
              ERROR_SUCCESS);
  }
  ~TestRoot() {
    RegCloseKey(m_key);
    RegDeleteTreeA(HKEY_CURRENT_USER, m_path.c_str());
  }
  HKEY Key() const { return m_key; }

  // Type and raw bytes of a value below the root; type 0 when absent.
  DWORD Read(const std::string& subKey, const std::string& name, std::string& data) const {
    DWORD type = 0;
    char buffer[1024];
    DWORD size = sizeof buffer;
    if (RegGetValueA(m_key, subKey.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, buffer, &size) !=
        ERROR_SUCCESS) {
      return 0;
    }
    data.assign(buffer, size);
    return type;
  }
  void Write(const std::string& subKey, const std::string& name, DWORD type, const std::string& data) const {
    ASSERT_EQ(RegSetKeyValueA(m_key, subKey.c_str(), name.c_str(), type, data.data(),
                              static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }

 private:
  std::string m_path;
  HKEY m_key = nullptr;
};

const std::string kPasswords = "Software\\SkiffHouse\\SkiffHouse\\Saved passwords";

TEST(RegistryProfile, SectionsAreSubKeysWithTextValuesAndOtherEntriesSurvive) {
  TestRoot root;
  CRegistryProfile profile(root.Key());
  EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "0.0");
  EXPECT_TRUE(profile.DeleteEntry("Saved passwords", "2a0f"));  // nothing there yet

  ASSERT_TRUE(profile.WriteString("General", "Version", "1.3"));
  ASSERT_TRUE(profile.WriteString("Saved passwords", "2a0f", "pass word=with \xe9quals"));
  ASSERT_TRUE(profile.WriteString("Saved passwords", "ffffffff", ""));
  std::string data;
  EXPECT_EQ(root.Read("Software\\SkiffHouse\\SkiffHouse\\General", "Version", data), REG_SZ);
  EXPECT_EQ(data, std::string("1.3", 4));  // stored with its terminating zero
  EXPECT_EQ(root.Read(kPasswords, "2a0f", data), REG_SZ);

  EXPECT_EQ(profile.GetString("Saved passwords", "2a0f", "none"), "pass word=with \xe9quals");
  EXPECT_EQ(profile.GetString("Saved passwords", "ffffffff", "none"), "");
  EXPECT_TRUE(profile.DeleteEntry("Saved passwords", "2a0f"));
  EXPECT_EQ(profile.GetString("Saved passwords", "2a0f", "none"), "none");
  EXPECT_EQ(profile.GetString("Saved passwords", "ffffffff", "none"), "");
  EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "1.3");

  // A text that a zero would cut short is refused and the stored one kept.
  EXPECT_FALSE(profile.WriteString("General", "Version",
                                   std::string("1.\0"
                                               "4",
                                               4)));
  EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "1.3");
}

TEST(RegistryProfile, ValuesWrittenByOthersReadSafely) {
  TestRoot root;
  CRegistryProfile profile(root.Key());
  root.Write(kPasswords, "1", REG_DWORD, std::string(4, '\x01'));  // not text: absent
  root.Write(kPasswords, "2", REG_SZ, "no terminator");            // no zero at the end
  root.Write(kPasswords, "3", REG_SZ, std::string("two zeros\0\0", 11));
  root.Write(kPasswords, "4", REG_SZ, std::string(5000, 'x') + '\0');  // longer than the first buffer
  EXPECT_EQ(profile.GetString("Saved passwords", "1", "none"), "none");
  EXPECT_EQ(profile.GetString("Saved passwords", "2", "none"), "no terminator");
  EXPECT_EQ(profile.GetString("Saved passwords", "3", "none"), "two zeros");
  EXPECT_EQ(profile.GetString("Saved passwords", "4", "none"), std::string(5000, 'x'));
}

const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

TEST(RunKey, StoresTheQuotedPathAndAnyValueCountsAsRegistered) {
  TestRoot root;
  const std::wstring program = L"C:\\Program Files\\SkiffHouse Desktop Downloader\\skiffhouse.exe";
  CRunKey run(root.Key(), program);
  // No Run key at all (a damaged or restricted profile): off, and a failure that says why.
  EXPECT_FALSE(run.IsRunOnStartup());
  EXPECT_FALSE(run.SetRunOnStartup(true));
  EXPECT_NE(run.LastError().find("Run key"), std::string::npos) << run.LastError();

  HKEY created = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(root.Key(), kRunKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(created);
  EXPECT_FALSE(run.IsRunOnStartup());
  ASSERT_TRUE(run.SetRunOnStartup(true)) << run.LastError();
  EXPECT_TRUE(run.IsRunOnStartup());
  std::string data;
  ASSERT_EQ(root.Read(kRunKey, "SkiffHouse", data), REG_SZ);
  EXPECT_EQ(data, std::string("\"C:\\Program Files\\SkiffHouse Desktop Downloader\\skiffhouse.exe\"\0", 64));

  ASSERT_TRUE(run.SetRunOnStartup(false));
  EXPECT_FALSE(run.IsRunOnStartup());
  EXPECT_TRUE(run.SetRunOnStartup(false));  // already off

  // An unquoted value of an older version, or an empty one, still reads as registered.
  root.Write(kRunKey, "SkiffHouse", REG_SZ, std::string("C:\\old copy\\skiffhouse.exe", 27));
  EXPECT_TRUE(run.IsRunOnStartup());
  root.Write(kRunKey, "SkiffHouse", REG_SZ, "");
  EXPECT_TRUE(run.IsRunOnStartup());
}

TEST(RunKey, FirstStartRegistersOnceAndAnUntickedBoxStaysOff) {
  TestRoot root;
  HKEY created = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(root.Key(), kRunKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(created);
  CRegistryProfile profile(root.Key());
  CRunKey run(root.Key(), OwnProgramPath());
  struct : ILogSink {
    void Log(const std::string& line) override { text += line + "\n"; }
    std::string text;
  } toLog;

  EXPECT_TRUE(ApplyFirstStartRule(profile, run, toLog));
  EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "1.3");
  std::string data;
  ASSERT_EQ(root.Read(kRunKey, "SkiffHouse", data), REG_SZ);
  // The running test program, quoted.
  ASSERT_GT(data.size(), 6u);
  EXPECT_EQ(data.front(), '"');
  EXPECT_NE(data.find(std::string(".exe\"\0", 6)), std::string::npos) << data;

  EXPECT_FALSE(ToggleRunOnStartup(true, run, toLog));  // the user unticks the box
  EXPECT_FALSE(ApplyFirstStartRule(profile, run, toLog));
  EXPECT_EQ(root.Read(kRunKey, "SkiffHouse", data), 0u);
  EXPECT_EQ(toLog.text, "");
}

}  // namespace
}  // namespace skiff
