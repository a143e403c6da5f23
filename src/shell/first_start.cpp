// The first-start rule and the run-on-startup click, with their failures told in the log.
#include "shell/first_start.h"

#include <string>

namespace skiff {

namespace {

bool SetRegistration(bool on, IRunOnStartup& runOnStartup, ILogSink& log) {
  if (runOnStartup.SetRunOnStartup(on)) return true;
  std::string text = on ? "Could not register the program to run on startup"
                        : "Could not remove the program's run-on-startup registration";
  const std::string reason = runOnStartup.LastError();
  if (!reason.empty()) text += ": " + reason;
  log.Log(text);
  return false;
}

}  // namespace

bool ApplyFirstStartRule(IProfile& profile, IRunOnStartup& runOnStartup, ILogSink& log) {
  const std::string version = profile.GetString(kGeneralSection, kVersionName, kVersionNeverStarted);
  if (version == kVersionNeverStarted) {
    // A marker that could not be written is found again at the next start, which then
    // registers again: nothing worse happens.
    if (!profile.WriteString(kGeneralSection, kVersionName, kVersionCurrent))
      log.Log("Could not write the first-start marker to the settings");
    SetRegistration(true, runOnStartup, log);
  }
  return runOnStartup.IsRunOnStartup();
}

bool ToggleRunOnStartup(bool checked, IRunOnStartup& runOnStartup, ILogSink& log) {
  const bool wanted = !checked;
  SetRegistration(wanted, runOnStartup, log);
  return wanted;
}

}  // namespace skiff
