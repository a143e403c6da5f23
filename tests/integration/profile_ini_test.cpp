// The INI profile on real files in a private temporary folder: other entries kept across
// rewrites, modes, damaged and unreadable files, concurrent writers; and the autostart
// entry's quoting. Creation and the usual reports run in tests/e2e/test_desktop.py (Settings).
#include "platform/posix/app/ini_profile.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/posix/app/autostart.h"
#include "support/test_peers.h"

namespace skiff {
namespace {

using ::testing::HasSubstr;

std::string ReadFile(const std::string& path) {
  std::stringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// A profile whose reports are collected.
struct ReportedProfile : ILogSink {
  explicit ReportedProfile(const std::string& path) : profile(path, this) {}
  void Log(const std::string& line) override { reports += line + "\n"; }
  std::string reports;
  CIniProfile profile;
};

TEST(IniProfile, WriteChangesOneEntryKeepsEverythingElseAndMakesTheFilePrivate) {
  test::TempDir temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  // A CR that is not the line end's own makes its line damage, not an entry: a rewrite
  // that dropped it would turn the line into an entry that hides the one written.
  WriteFile(path,
            "; by hand\r\n[general]\r\nVersion=1.3\r\nOther=kept\r\n\r\n[Saved passwords]\r\nff=first\r\n"
            "ab=old\r\r\n[Someone else's]\r\nx=y\r\n");
  chmod(path.c_str(), 0644);
  chmod(temp.Path().c_str(), 01777);  // a shared folder, as /tmp is
  ReportedProfile p(path);
  // Sections and names are matched without regard to case, as the registry does.
  EXPECT_EQ(p.profile.GetString("General", "version", "0.0"), "1.3");
  EXPECT_EQ(p.profile.GetString("Saved passwords", "ab", "none"), "none");
  EXPECT_THAT(p.reports, HasSubstr("damaged"));
  EXPECT_THAT(p.reports, HasSubstr("line 8"));

  ASSERT_TRUE(p.profile.WriteString("Saved passwords", "ab", "new"));
  ASSERT_TRUE(p.profile.WriteString("Saved passwords", "ff", "pass word=with equals"));
  ASSERT_TRUE(p.profile.DeleteEntry("General", "Other"));
  EXPECT_TRUE(p.profile.DeleteEntry("Saved passwords", "not there"));
  EXPECT_EQ(ReadFile(path),
            "; by hand\n[general]\nVersion=1.3\n\n[Saved passwords]\nff=pass word=with equals\n"
            "ab=old\r\r\nab=new\n[Someone else's]\nx=y\n");
  EXPECT_EQ(CIniProfile(path).GetString("Saved passwords", "ab", "none"),
            "new");                        // as the next start reads it
  EXPECT_EQ(ModeOf(path), 0600u);          // a file that holds passwords is private again
  EXPECT_EQ(ModeOf(temp.Path()), 01777u);  // and the shared folder stays open to its users

  // Values that cannot be kept on one line are refused, and the file is untouched.
  const std::string before = ReadFile(path);
  EXPECT_FALSE(p.profile.WriteString("Saved passwords", "2", "two\nlines"));
  EXPECT_FALSE(p.profile.WriteString("Saved passwords", "a=b", "x"));
  EXPECT_FALSE(p.profile.WriteString("Bad]section", "a", "x"));
  EXPECT_EQ(ReadFile(path), before);
}

TEST(IniProfile, DamagedFilesReadAsDefaultsNeverThrowAndUnreadableOnesAreNeverOverwritten) {
  test::TempDir temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  for (const auto& content : {
           std::string("\0\0\x01\xff garbage\n\0", 14),
           std::string("[General\nVersion=1.3\n"),  // the section line is broken, so is what follows it
           std::string("[]\n=novalue\n") + std::string(40, '\n') + "[General]\n\xff\xfe=\x01\n",
       }) {
    SCOPED_TRACE(::testing::PrintToString(content));
    WriteFile(path, content);
    ReportedProfile p(path);
    EXPECT_EQ(p.profile.GetString("General", "Version", "0.0"), "0.0");
    EXPECT_THAT(p.reports, HasSubstr("damaged"));
    ASSERT_TRUE(p.profile.WriteString("General", "Version", "1.3"));  // writing still works
    EXPECT_EQ(p.profile.GetString("General", "Version", "0.0"), "1.3");
  }

  // A folder where the file should be: it cannot be read, whoever runs the test.
  const std::string folder = temp.Path() + "/folder.ini";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  WriteFile(folder + "/keep", "precious");
  ReportedProfile unreadable(folder);
  EXPECT_EQ(unreadable.profile.GetString("General", "Version", "0.0"), "0.0");
  EXPECT_THAT(unreadable.reports, HasSubstr("Cannot read"));
  EXPECT_FALSE(unreadable.profile.WriteString("General", "Version", "1.3"));
  EXPECT_FALSE(unreadable.profile.DeleteEntry("General", "Version"));
  EXPECT_THAT(unreadable.reports, HasSubstr("was not written"));
  EXPECT_EQ(ReadFile(folder + "/keep"), "precious");
}

TEST(IniProfile, WritesFromTwoThreadsLoseNoEntry) {
  test::TempDir temp;
  CIniProfile profile(temp.Path() + "/SkiffHouse.ini");
  const auto write = [&profile](char t) {
    for (int i = 0; i < 10; ++i) profile.WriteString("Saved passwords", t + std::to_string(i), "pw");
  };
  std::thread other(write, 'a');
  write('b');
  other.join();
  for (const char* name : {"a0", "a9", "b0", "b9"})
    EXPECT_EQ(CIniProfile(temp.Path() + "/SkiffHouse.ini").GetString("Saved passwords", name, ""), "pw");
}

TEST(AutostartEntry, ExecQuotesReservedCharactersAsDesktopEntriesRequire) {
  // Inside quotes ", `, $ and \ take a backslash; then the string escape doubles every
  // backslash, and % becomes %%.
  EXPECT_EQ(DesktopExecValue("/usr/bin/skiffhouse"), "/usr/bin/skiffhouse");
  EXPECT_EQ(DesktopExecValue("/home/a b/skiffhouse"), "\"/home/a b/skiffhouse\"");
  EXPECT_EQ(DesktopExecValue("/o'k/$x\"y`z"), "\"/o'k/\\\\$x\\\\\"y\\\\`z\"");
  EXPECT_EQ(DesktopExecValue("/a\\b"), "\"/a\\\\\\\\b\"");
  EXPECT_EQ(DesktopExecValue("/100%/run"), "/100%%/run");
}

}  // namespace
}  // namespace skiff
