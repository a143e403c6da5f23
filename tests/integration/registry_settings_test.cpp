// The registry profile and the Run value in the real registry of the build's Wine
// prefix, below a key that each test creates for itself and removes afterwards.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/registry/registry_profile.h"

namespace skiff {
namespace {

const std::string kPasswords = "Software\\SkiffHouse\\SkiffHouse\\Saved passwords";
const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// HKEY_CURRENT_USER\Software\SkiffHouseTests\<test>, removed with everything below it.
class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() {
    m_path += ::testing::UnitTest::GetInstance()->current_test_info()->name();
    RegDeleteTreeA(HKEY_CURRENT_USER, m_path.c_str());
    RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key,
                    nullptr);
  }
  ~RegistryTest() override {
    RegCloseKey(m_key);
    RegDeleteTreeA(HKEY_CURRENT_USER, m_path.c_str());
  }
  // Raw bytes of a value below the root (with the type in front); empty when absent.
  std::string Read(const std::string& subKey, const char* name) const {
    DWORD type = 0;
    char buffer[1024];
    DWORD size = sizeof buffer;
    if (RegGetValueA(m_key, subKey.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, buffer, &size) !=
        ERROR_SUCCESS)
      return {};
    return std::to_string(type) + ":" + std::string(buffer, size);
  }
  void Write(const std::string& subKey, const char* name, DWORD type, const std::string& data) const {
    ASSERT_EQ(
        RegSetKeyValueA(m_key, subKey.c_str(), name, type, data.data(), static_cast<DWORD>(data.size())),
        ERROR_SUCCESS);
  }

  std::string m_path = "Software\\SkiffHouseTests\\";
  HKEY m_key = nullptr;
};

TEST_F(RegistryTest, ProfileSectionsAreSubKeysOfTextValuesAndForeignValuesReadSafely) {
  CRegistryProfile profile(m_key);
  EXPECT_TRUE(profile.DeleteEntry("Saved passwords", "2a0f"));  // nothing there yet
  ASSERT_TRUE(profile.WriteString("General", "Version", "1.3"));
  ASSERT_TRUE(profile.WriteString("Saved passwords", "2a0f", "pass word=with \xe9quals"));
  ASSERT_TRUE(profile.WriteString("Saved passwords", "ffffffff", ""));
  EXPECT_EQ(Read("Software\\SkiffHouse\\SkiffHouse\\General", "Version"),
            std::string("1:1.3", 6));  // REG_SZ, zero
  EXPECT_EQ(profile.GetString("Saved passwords", "2a0f", "none"), "pass word=with \xe9quals");
  EXPECT_TRUE(profile.DeleteEntry("Saved passwords", "2a0f"));
  EXPECT_EQ(profile.GetString("Saved passwords", "2a0f", "none"), "none");
  EXPECT_EQ(profile.GetString("Saved passwords", "ffffffff", "none"), "");
  // A text that a zero would cut short is refused and the stored one kept.
  EXPECT_FALSE(profile.WriteString("General", "Version", std::string("1.\0004", 4)));
  EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "1.3");

  Write(kPasswords, "1", REG_DWORD, std::string(4, '\x01'));  // not text: absent
  Write(kPasswords, "2", REG_SZ, "no terminator");
  Write(kPasswords, "3", REG_SZ, std::string("two zeros\0\0", 11));
  Write(kPasswords, "4", REG_SZ, std::string(5000, 'x') + '\0');  // longer than the first buffer
  EXPECT_EQ(profile.GetString("Saved passwords", "1", "none"), "none");
  EXPECT_EQ(profile.GetString("Saved passwords", "2", "none"), "no terminator");
  EXPECT_EQ(profile.GetString("Saved passwords", "3", "none"), "two zeros");
  EXPECT_EQ(profile.GetString("Saved passwords", "4", "none"), std::string(5000, 'x'));
}

TEST_F(RegistryTest, RunValueHoldsTheQuotedPathAndAnyValueCountsAsRegistered) {
  // A folder name outside the ANSI code page: the value keeps it whole.
  const std::wstring program = L"C:\\Program Files\\SkiffHouse \u03a3\\skiffhouse.exe";
  CRunKey run(m_key, program);
  // No Run key at all (a damaged or restricted profile): off, and a failure that says why.
  EXPECT_FALSE(run.IsRunOnStartup());
  EXPECT_FALSE(run.SetRunOnStartup(true));
  EXPECT_NE(run.LastError().find("Run key"), std::string::npos) << run.LastError();

  Write(kRunKey, "Other", REG_SZ, "");
  EXPECT_FALSE(run.IsRunOnStartup());
  ASSERT_TRUE(run.SetRunOnStartup(true)) << run.LastError();
  wchar_t stored[MAX_PATH] = {};
  DWORD size = sizeof stored;
  ASSERT_EQ(RegGetValueW(m_key, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"SkiffHouse",
                         RRF_RT_REG_SZ, nullptr, stored, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(stored), L"\"" + program + L"\"");
  EXPECT_TRUE(run.IsRunOnStartup());
  ASSERT_TRUE(run.SetRunOnStartup(false));
  EXPECT_FALSE(run.IsRunOnStartup());
  EXPECT_TRUE(run.SetRunOnStartup(false));  // already off
  EXPECT_NE(Read(kRunKey, "Other"), "");    // only its own value goes

  // An unquoted value of an older version, or an empty one, still reads as registered.
  Write(kRunKey, "SkiffHouse", REG_SZ, std::string("C:\\old copy\\skiffhouse.exe", 27));
  EXPECT_TRUE(run.IsRunOnStartup());
  Write(kRunKey, "SkiffHouse", REG_SZ, "");
  EXPECT_TRUE(run.IsRunOnStartup());
}

}  // namespace
}  // namespace skiff
