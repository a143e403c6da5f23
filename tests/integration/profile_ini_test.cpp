// The INI profile and the autostart entry on real files in a private temporary folder:
// modes, atomic replacement, other entries kept, damaged and unreadable files.
#include "platform/posix/app/ini_profile.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/posix/app/autostart.h"

namespace skiff {
namespace {

using ::testing::HasSubstr;

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/skiff-profile-XXXXXX";
    m_path = mkdtemp(pattern);
  }
  ~TempFolder() { std::system(("rm -rf '" + m_path + "'").c_str()); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
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

std::vector<std::string> FolderEntries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

struct Reports {
  std::vector<std::string> lines;
  CIniProfile::ReportFn Fn() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
  bool Any(const std::string& part) const {
    for (const auto& line : lines)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
};

TEST(IniProfile, MissingFileGivesDefaultsAndFirstWriteCreatesPrivateFile) {
  TempFolder temp;
  const std::string path = temp.Path() + "/config/SkiffHouse/SkiffHouse.ini";
  CIniProfile profile(path);
  Reports reports;
  EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "0.0");
  profile.SetReporter(reports.Fn());  // problems found earlier are told now
  EXPECT_TRUE(reports.Any("does not exist yet"));

  ASSERT_TRUE(profile.WriteString("General", "Version", "1.3"));
  ASSERT_TRUE(profile.WriteString("Saved passwords", "2a0f", "pass word=with equals"));
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(ModeOf(temp.Path() + "/config/SkiffHouse"), 0700u);
  EXPECT_EQ(ReadFile(path), "[General]\nVersion=1.3\n\n[Saved passwords]\n2a0f=pass word=with equals\n");
  EXPECT_EQ(profile.GetString("Saved passwords", "2a0f", "none"), "pass word=with equals");
  // A second object on the same file (the next start) reads the same.
  CIniProfile again(path);
  EXPECT_EQ(again.GetString("General", "Version", "0.0"), "1.3");
  // No temporary file is left beside it.
  EXPECT_THAT(FolderEntries(temp.Path() + "/config/SkiffHouse"), ::testing::ElementsAre("SkiffHouse.ini"));
}

TEST(IniProfile, WriteChangesOneEntryAndKeepsEverythingElse) {
  TempFolder temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  WriteFile(path,
            "; written by hand\r\n"
            "[general]\r\n"
            "Version=1.3\r\n"
            "Other=kept\r\n"
            "\r\n"
            "[Saved passwords]\r\n"
            "ff=first\r\n"
            "this line is not understood\r\n"
            "[Someone else's]\r\n"
            "x=y\r\n");
  chmod(path.c_str(), 0644);
  CIniProfile profile(path);
  Reports reports;
  profile.SetReporter(reports.Fn());
  // Sections and names are matched without regard to case, as the registry does.
  EXPECT_EQ(profile.GetString("General", "version", "0.0"), "1.3");
  EXPECT_TRUE(reports.Any("damaged"));
  EXPECT_TRUE(reports.Any("line 8"));

  ASSERT_TRUE(profile.WriteString("Saved passwords", "2a0f", "secret"));
  ASSERT_TRUE(profile.WriteString("Saved passwords", "ff", "changed"));
  ASSERT_TRUE(profile.DeleteEntry("General", "Other"));
  EXPECT_EQ(ReadFile(path),
            "; written by hand\n"
            "[general]\n"
            "Version=1.3\n"
            "\n"
            "[Saved passwords]\n"
            "ff=changed\n"
            "this line is not understood\n"
            "2a0f=secret\n"
            "[Someone else's]\n"
            "x=y\n");
  EXPECT_EQ(ModeOf(path), 0600u);  // a file that held passwords is private again
  EXPECT_EQ(profile.GetString("Someone else's", "x", ""), "y");
  EXPECT_TRUE(profile.DeleteEntry("Saved passwords", "not there"));
}

TEST(IniProfile, DamagedFilesReadAsDefaultsAndNeverThrow) {
  TempFolder temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  const std::vector<std::string> damaged = {
      std::string("\0\0\x01\xff garbage\n\0", 14),
      "Version=1.3\n",            // an entry outside any section
      "[General\nVersion=1.3\n",  // the section line is broken, so is what follows it
      "[]\n=novalue\n",
      std::string(40, '\n') + "[General]\n\xff\xfe=\x01\n",
  };
  for (const auto& content : damaged) {
    WriteFile(path, content);
    CIniProfile profile(path);
    Reports reports;
    profile.SetReporter(reports.Fn());
    EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "0.0");
    EXPECT_TRUE(reports.Any("damaged")) << ::testing::PrintToString(content);
    // Writing still works and keeps the damaged lines as they were.
    ASSERT_TRUE(profile.WriteString("General", "Version", "1.3"));
    EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "1.3");
  }
}

TEST(IniProfile, UnreadableFileIsNeverOverwritten) {
  TempFolder temp;
  // A folder where the file should be: it cannot be read, whoever runs the test.
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  WriteFile(path + "/keep", "precious");
  CIniProfile profile(path);
  Reports reports;
  profile.SetReporter(reports.Fn());
  EXPECT_EQ(profile.GetString("General", "Version", "0.0"), "0.0");
  EXPECT_TRUE(reports.Any("Cannot read"));
  EXPECT_FALSE(profile.WriteString("General", "Version", "1.3"));
  EXPECT_FALSE(profile.DeleteEntry("General", "Version"));
  EXPECT_TRUE(reports.Any("was not written"));
  EXPECT_EQ(ReadFile(path + "/keep"), "precious");
}

TEST(IniProfile, UnwritableFolderIsReportedAndLeavesTheOldFile) {
  TempFolder temp;
  // The profile's folder cannot be created under a regular file.
  WriteFile(temp.Path() + "/blocker", "x");
  CIniProfile blocked(temp.Path() + "/blocker/SkiffHouse/SkiffHouse.ini");
  Reports reports;
  blocked.SetReporter(reports.Fn());
  EXPECT_FALSE(blocked.WriteString("General", "Version", "1.3"));
  EXPECT_TRUE(reports.Any("Cannot write"));
  EXPECT_EQ(blocked.GetString("General", "Version", "0.0"), "0.0");

  // A value that cannot be kept on one line is refused, and the file is untouched.
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  CIniProfile profile(path);
  ASSERT_TRUE(profile.WriteString("Saved passwords", "1", "one"));
  const std::string before = ReadFile(path);
  EXPECT_FALSE(profile.WriteString("Saved passwords", "2", "two\nlines"));
  EXPECT_FALSE(profile.WriteString("Saved passwords", "a=b", "x"));
  EXPECT_FALSE(profile.WriteString("Bad]section", "a", "x"));
  EXPECT_EQ(ReadFile(path), before);
}

TEST(IniProfile, WritesFromManyThreadsLoseNoEntry) {
  TempFolder temp;
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
  EXPECT_EQ(DesktopExecValue("/usr/bin/skiffhouse"), "/usr/bin/skiffhouse");
  EXPECT_EQ(DesktopExecValue("/home/a b/skiffhouse"), "\"/home/a b/skiffhouse\"");
  // Inside quotes ", `, $ and \ take a backslash; then the string escape doubles every
  // backslash, and % becomes %%.
  EXPECT_EQ(DesktopExecValue("/o'k/$x\"y`z"), "\"/o'k/\\\\$x\\\\\"y\\\\`z\"");
  EXPECT_EQ(DesktopExecValue("/a\\b"), "\"/a\\\\\\\\b\"");
  EXPECT_EQ(DesktopExecValue("/100%/run"), "/100%%/run");
}

TEST(AutostartEntry, PresentWhileRegisteredAndNamesTheProgram) {
  TempFolder temp;
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
