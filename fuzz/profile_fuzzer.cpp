// Fuzzes the INI profile reader and writer: any bytes as the settings file must read
// without a fault, and a write must change only its own entry: every line of the file
// that was there stays, in order, the value written reads back, and a delete removes it.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/log_sink.h"
#include "platform/posix/app/ini_profile.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "profile_fuzzer: %s\n", what);
  std::abort();
}

const std::string& ProfilePath() {
  static const std::string path = [] {
    char folder[] = "/tmp/profile_fuzzer.XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    return std::string(folder) + "/SkiffHouse.ini";
  }();
  return path;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

// The file's lines as the profile reads them.
std::vector<std::string> Lines(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  std::string content;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  std::fclose(file);
  return skiff::SplitSettingsLines(content);
}

// Whether a line is an entry called name, as the profile matches names (spaces around
// it and letter case do not count).
bool IsEntryNamed(const std::string& line, const std::string& name) {
  const auto equals = line.find('=');
  if (equals == std::string::npos) return false;
  std::size_t start = 0, end = equals;
  while (start < end && (line[start] == ' ' || line[start] == '\t')) ++start;
  while (end > start && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
  if (end - start != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(line[start + i])) !=
        std::tolower(static_cast<unsigned char>(name[i])))
      return false;
  return true;
}

bool IsSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  std::size_t at = 0;
  for (const auto& line : whole)
    if (at < part.size() && part[at] == line) ++at;
  return at == part.size();
}

// What the profile reports about the file, kept for the check after a failed write.
struct ProblemList : skiff::ILogSink {
  void Log(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = ProfilePath();
  WriteFile(path, data, size);
  ProblemList problems;
  skiff::CIniProfile profile(path, &problems);

  // The entries the program reads, and names the input itself may use.
  (void)profile.GetString("General", "Version", "");
  (void)profile.GetString("Saved passwords", "2a0f", "none");
  const std::string section = size > 0 && (data[0] & 1) ? "Saved passwords" : "General";
  const std::string name = size > 1 ? "k" + std::to_string(data[1] % 4) : "Version";
  (void)profile.GetString(section, name, "");

  const std::vector<std::string> before = Lines(path);
  const std::string value = "v" + std::to_string(size);
  if (profile.WriteString(section, name, value)) {
    const std::vector<std::string> after = Lines(path);
    // Only the entry's own line changes or is added (a new section adds up to three).
    if (after.size() < before.size() || after.size() > before.size() + 3)
      Fail("lines were lost or too many added");
    std::vector<std::string> kept;
    for (const auto& line : before)
      if (!IsEntryNamed(line, name)) kept.push_back(line);
    if (!IsSubsequence(kept, after)) Fail("a line other than the entry's own changed");
    if (profile.GetString(section, name, "missing") != value) Fail("the value written does not read back");
    if (!profile.DeleteEntry(section, name)) Fail("the entry cannot be deleted");
    if (profile.GetString(section, name, "missing") != "missing") Fail("a deleted entry still reads");
  } else if (problems.lines.empty()) {
    Fail("a write failed without saying why");
  }
  return 0;
}
