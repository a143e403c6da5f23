// The first-start rule and the "Run On Startup" check box: the profile's marker, the
// registration made on the very first start, and a click that changes it.
#pragma once

#include "platform/platform.h"

namespace skiff {

// The profile's first-start marker: "General"/"Version" reads "0.0" until the first
// start has written "1.3".
inline constexpr char kGeneralSection[] = "General";
inline constexpr char kVersionName[] = "Version";
inline constexpr char kVersionNeverStarted[] = "0.0";
inline constexpr char kVersionCurrent[] = "1.3";

// The first-start check of the main window's initialisation: on the very first start
// (the marker reads exactly "0.0") writes "1.3" and registers run on startup. Any other
// marker value, the empty one included, leaves everything alone. Failures to write are
// told through log. Returns the run-on-startup state the check box starts with.
bool ApplyFirstStartRule(IProfile& profile, IRunOnStartup& runOnStartup, ILogSink& log);

// The check box's click: the box shows what the user clicked whether or not the
// registration could be changed; a failure is told through log. Returns the new state.
bool ToggleRunOnStartup(bool checked, IRunOnStartup& runOnStartup, ILogSink& log);

}  // namespace skiff
