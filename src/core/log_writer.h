// The entry point through which the device parts write to the activity log: whether a
// line also goes to the process's console is said at every call, never implied.
#pragma once

#include <atomic>
#include <string>

#include "core/activity_log.h"
#include "core/log_sink.h"

namespace skiff {

// Where a line goes. The one-part lines of the device parts are echoed to the console
// as well; lines built of a label and a value are not; a few traces go to the console
// alone.
enum class LogTo { LogAndConsole, LogOnly, ConsoleOnly };

class CLogWriter final : private ILogSink {
 public:
  CLogWriter() = default;
  CLogWriter(const CLogWriter&) = delete;
  CLogWriter& operator=(const CLogWriter&) = delete;

  // Binds the activity log (null unbinds); lines written while none is bound reach only
  // the console, when they go there at all. Any thread.
  void SetLog(CActivityLog* log);

  // One line made of first directly followed by second, sent where `to` says. The
  // console gets the line and a single "\n" whether or not a log is bound. Any thread.
  void Log(LogTo to, const std::string& first, const std::string& second = {});

  // For parts that write through ILogSink (the settings, the device manager, the shell's
  // rules): their lines are one-part lines, echoed to the console.
  ILogSink& Sink() { return *this; }

 private:
  void Log(const std::string& line) override;

  std::atomic<CActivityLog*> m_pLog{nullptr};
};

}  // namespace skiff
