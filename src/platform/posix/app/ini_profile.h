// The program's profile on POSIX: an INI file ([General] Version, [Saved passwords]
// PIN=password) kept private to the user and replaced atomically at every write.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace skiff {

class CIniProfile : public IProfile {
 public:
  // Tells the activity log about a settings file that cannot be read, is damaged or
  // cannot be written. Each distinct problem is told once in a row.
  using ReportFn = std::function<void(const std::string&)>;

  explicit CIniProfile(std::string path);

  // Problems found before a reporter was set are told to it at once.
  void SetReporter(ReportFn report);

  const std::string& Path() const { return m_path; }

  std::string GetString(const std::string& section, const std::string& name,
                        const std::string& defaultValue) override;
  bool WriteString(const std::string& section, const std::string& name, const std::string& value) override;
  bool DeleteEntry(const std::string& section, const std::string& name) override;

 private:
  // The file as lines, so that a write changes only its own entry and keeps everything
  // else (comments, lines it does not understand) where it was.
  struct Document {
    std::vector<std::string> lines;
    bool usable = true;  // false: the file exists but could not be read
  };

  Document Load();
  bool Store(const Document& document);
  void Report(const std::string& problem);
  void ClearProblem();

  const std::string m_path;
  std::mutex m_fileMutex;  // the worker, the device manager's threads and the front end all use it
  std::mutex m_mutex;      // guards the reporting state below; the reporter runs outside it
  ReportFn m_report;
  std::vector<std::string> m_pending;
  std::string m_lastProblem;
};

// The file's lines as the profile reads them: split at LF, one CR before it dropped.
std::vector<std::string> SplitSettingsLines(const std::string& content);

}  // namespace skiff
