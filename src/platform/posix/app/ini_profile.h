// The program's profile on POSIX: an INI file ([General] Version, [Saved passwords]
// PIN=password) kept private to the user and replaced atomically at every write.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace skiff {

class CIniProfile : public IProfile {
 public:
  // problems: where a settings file that cannot be read, is damaged or cannot be written
  // is told (normally the activity log, through the relay that holds early lines); each
  // distinct problem once in a row. Null: nobody is told.
  explicit CIniProfile(std::string path, ILogSink* problems = nullptr);

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
  ILogSink* const m_problems;
  std::mutex m_mutex;  // guards m_lastProblem; the sink is called outside it
  std::string m_lastProblem;
};

// The file's lines as the profile reads them: split at LF, one CR before it dropped.
std::vector<std::string> SplitSettingsLines(const std::string& content);

}  // namespace skiff
