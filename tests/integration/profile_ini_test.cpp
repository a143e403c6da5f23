// The INI profile and the autostart entry on real files in a private temporary folder:
// modes, atomic replacement, other entries kept, damaged and unreadable files.
#include "platform/posix/app/ini_profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "integration/support/test_peers.h"
#include "platform/posix/app/autostart.h"

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

TEST(IniProfile, MissingFileGivesDefaultsAndFirstWriteCreatesPrivateFile) {
  test::TempDir temp;
  const std::string folder = temp.Path() + "/config/SkiffHouse", path = folder + "/SkiffHouse.ini";
  ReportedProfile reported(path);
  CIniProfile& profile = reported.profile;
  EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "0.0");
  EXPECT_THAT(reported.reports, HasSubstr("does not exist yet"));

  ASSERT_TRUE(profile.WriteString("General", "Version", "1.3"));
  ASSERT_TRUE(profile.WriteString("Saved passwords", "2a0f", "pass word=with equals"));
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(ModeOf(folder), 0700u);
  EXPECT_EQ(ReadFile(path), "[General]\nVersion=1.3\n\n[Saved passwords]\n2a0f=pass word=with equals\n");
  EXPECT_EQ(profile.GetString("Saved passwords", "2a0f", "none"), "pass word=with equals");
  // A second object on the same file (the next start) reads the same.
  EXPECT_EQ(CIniProfile(path).GetString("General", "Version", "0.0"), "1.3");
  // No temporary file is left beside it.
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    entries.push_back(entry.path().filename());
  EXPECT_THAT(entries, ::testing::ElementsAre("SkiffHouse.ini"));
}

TEST(IniProfile, WriteChangesOneEntryAndKeepsEverythingElse) {
  test::TempDir temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  WriteFile(
      path,
      "; written by hand\r\n[general]\r\nVersion=1.3\r\nOther=kept\r\n\r\n[Saved passwords]\r\nff=first\r\n"
      "this line is not understood\r\n[Someone else's]\r\nx=y\r\n");
  chmod(path.c_str(), 0644);
  chmod(temp.Path().c_str(), 01777);  // a shared folder, as /tmp is
  ReportedProfile p(path);
  // Sections and names are matched without regard to case, as the registry does.
  EXPECT_EQ(p.profile.GetString("General", "version", "0.0"), "1.3");
  EXPECT_THAT(p.reports, HasSubstr("damaged"));
  EXPECT_THAT(p.reports, HasSubstr("line 8"));

  ASSERT_TRUE(p.profile.WriteString("Saved passwords", "2a0f", "secret"));
  ASSERT_TRUE(p.profile.WriteString("Saved passwords", "ff", "changed"));
  ASSERT_TRUE(p.profile.DeleteEntry("General", "Other"));
  EXPECT_EQ(ReadFile(path),
            "; written by hand\n[general]\nVersion=1.3\n\n[Saved passwords]\nff=changed\n"
            "this line is not understood\n2a0f=secret\n[Someone else's]\nx=y\n");
  EXPECT_EQ(ModeOf(path), 0600u);          // a file that held passwords is private again
  EXPECT_EQ(ModeOf(temp.Path()), 01777u);  // and the shared folder stays open to its users
  EXPECT_EQ(p.profile.GetString("Someone else's", "x", ""), "y");
  EXPECT_TRUE(p.profile.DeleteEntry("Saved passwords", "not there"));
}

TEST(IniProfile, ADamagedLineEndingInCarriageReturnsKeepsItsMeaningAcrossWrites) {
  test::TempDir temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  // A CR that is not the line end's own makes the line damage, not an entry; a rewrite
  // that dropped it would turn the line into an entry that hides the one written.
  WriteFile(path, "[Saved passwords]\nab=old\r\r\n");
  ReportedProfile p(path);
  EXPECT_EQ(p.profile.GetString("Saved passwords", "ab", "none"), "none");
  ASSERT_TRUE(p.profile.WriteString("Saved passwords", "ab", "new"));
  EXPECT_EQ(ReadFile(path), "[Saved passwords]\nab=old\r\r\nab=new\n");
  EXPECT_EQ(p.profile.GetString("Saved passwords", "ab", "none"), "new");
}

TEST(IniProfile, DamagedFilesReadAsDefaultsAndNeverThrow) {
  test::TempDir temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  for (const auto& content : {
           std::string("\0\0\x01\xff garbage\n\0", 14),
           std::string("Version=1.3\n"),            // an entry outside any section
           std::string("[General\nVersion=1.3\n"),  // the section line is broken, so is what follows it
           std::string("[]\n=novalue\n"),
           std::string(40, '\n') + "[General]\n\xff\xfe=\x01\n",
       }) {
    SCOPED_TRACE(::testing::PrintToString(content));
    WriteFile(path, content);
    ReportedProfile p(path);
    EXPECT_EQ(p.profile.GetString("General", "Version", "0.0"), "0.0");
    EXPECT_THAT(p.reports, HasSubstr("damaged"));
    // Writing still works.
    ASSERT_TRUE(p.profile.WriteString("General", "Version", "1.3"));
    EXPECT_EQ(p.profile.GetString("General", "Version", "0.0"), "1.3");
  }
}

TEST(IniProfile, UnreadableOrUnwritableFilesAreReportedAndNeverOverwritten) {
  test::TempDir temp;
  // A folder where the file should be: it cannot be read, whoever runs the test.
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  WriteFile(path + "/keep", "precious");
  ReportedProfile unreadable(path);
  EXPECT_EQ(unreadable.profile.GetString("General", "Version", "0.0"), "0.0");
  EXPECT_THAT(unreadable.reports, HasSubstr("Cannot read"));
  EXPECT_FALSE(unreadable.profile.WriteString("General", "Version", "1.3"));
  EXPECT_FALSE(unreadable.profile.DeleteEntry("General", "Version"));
  EXPECT_THAT(unreadable.reports, HasSubstr("was not written"));
  EXPECT_EQ(ReadFile(path + "/keep"), "precious");

  // The profile's folder cannot be created under a regular file.
  WriteFile(temp.Path() + "/blocker", "x");
  ReportedProfile blocked(temp.Path() + "/blocker/SkiffHouse/SkiffHouse.ini");
  EXPECT_FALSE(blocked.profile.WriteString("General", "Version", "1.3"));
  EXPECT_THAT(blocked.reports, HasSubstr("Cannot write"));
  EXPECT_EQ(blocked.profile.GetString("General", "Version", "0.0"), "0.0");

  // A value that cannot be kept on one line is refused, and the file is untouched.
  CIniProfile profile(temp.Path() + "/other.ini");
  ASSERT_TRUE(profile.WriteString("Saved passwords", "1", "one"));
  const std::string before = ReadFile(temp.Path() + "/other.ini");
  EXPECT_FALSE(profile.WriteString("Saved passwords", "2", "two\nlines"));
  EXPECT_FALSE(profile.WriteString("Saved passwords", "a=b", "x"));
  EXPECT_FALSE(profile.WriteString("Bad]section", "a", "x"));
  EXPECT_EQ(ReadFile(temp.Path() + "/other.ini"), before);
}

TEST(IniProfile, WritesFromManyThreadsLoseNoEntry) {
  test::TempDir temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  CIniProfile profile(path);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&profile, t] {
      for (int i = 0; i < 10; ++i)
        profile.WriteString("Saved passwords", std::to_string(t * 100 + i), "pw" + std::to_string(i));
    });
  for (auto& thread : threads) thread.join();
  CIniProfile reader(path);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 10; ++i)
      EXPECT_EQ(reader.GetString("Saved passwords", std::to_string(t * 100 + i), ""),
                "pw" + std::to_string(i));
}

TEST(AutostartEntry, ExecQuotesReservedCharactersAsDesktopEntriesRequire) {
  // Inside quotes ", `, $ and \ take a backslash; then the string escape doubles every
  // backslash, and % becomes %%.
  const std::pair<const char*, const char*> cases[] = {
      {"/usr/bin/skiffhouse", "/usr/bin/skiffhouse"},
      {"/home/a b/skiffhouse", "\"/home/a b/skiffhouse\""},
      {"/o'k/$x\"y`z", "\"/o'k/\\\\$x\\\\\"y\\\\`z\""},
      {"/a\\b", "\"/a\\\\\\\\b\""},
      {"/100%/run", "/100%%/run"},
  };
  for (const auto& [path, exec] : cases) EXPECT_EQ(DesktopExecValue(path), exec) << path;
}

TEST(AutostartEntry, PresentWhileRegisteredAndNamesTheProgram) {
  test::TempDir temp;
  const std::string entry = temp.Path() + "/config/autostart/SkiffHouse.desktop";
  CAutostartEntry autostart(entry, "/opt/Skiff House/skiffhouse");
  EXPECT_FALSE(autostart.IsRunOnStartup());
  ASSERT_TRUE(autostart.SetRunOnStartup(true));
  EXPECT_TRUE(autostart.IsRunOnStartup());
  const std::string content = ReadFile(entry);
  EXPECT_THAT(content, HasSubstr("[Desktop Entry]\n"));
  EXPECT_THAT(content, HasSubstr("\nType=Application\n"));
  EXPECT_THAT(content, HasSubstr("\nExec=\"/opt/Skiff House/skiffhouse\"\n"));
  ASSERT_TRUE(autostart.SetRunOnStartup(false));
  EXPECT_FALSE(autostart.IsRunOnStartup());
  EXPECT_TRUE(autostart.SetRunOnStartup(false));  // already absent is fine

  // Content is not examined: any entry of that name counts as registered.
  WriteFile(entry, "not even a desktop entry");
  EXPECT_TRUE(autostart.IsRunOnStartup());

  WriteFile(temp.Path() + "/file", "x");
  CAutostartEntry blocked(temp.Path() + "/file/autostart/SkiffHouse.desktop", "/bin/true");
  EXPECT_FALSE(blocked.SetRunOnStartup(true));
  EXPECT_THAT(blocked.LastError(), HasSubstr("cannot create the folder"));
}

}  // namespace
}  // namespace skiff
