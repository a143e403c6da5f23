// The log writer: the activity log when bound, the console echo when asked for.
#include "core/log_writer.h"

namespace skiff {

void CLogWriter::SetLog(CActivityLog* log) {
  m_pLog.store(log);
}

void CLogWriter::Log(LogTo to, const std::string& first, const std::string& second) {
  if (to != LogTo::ConsoleOnly) {
    if (CActivityLog* log = m_pLog.load()) log->AddLine(first, second);
  }
  if (to != LogTo::LogOnly) ConsoleEcho(second.empty() ? first : first + second);
}

void CLogWriter::Log(const std::string& line) {
  Log(LogTo::LogAndConsole, line);
}

}  // namespace skiff
