#pragma once
// Runs a test program as if on Windows XP. Wine reports the Windows version named under
// HKCU\Software\Wine\AppDefaults\<program>.exe\Version to that program alone; the program
// sets the value for its own name and starts itself again, once, with the same command
// line and standard handles, and hands the copy's exit code back.

// True when this process already reports major version 5. Otherwise under Wine: makes the
// copy, stores its exit code in exit_code, and returns false. Elsewhere: returns true and
// leaves the version alone (the tests then see what they get and skip).
bool ensure_windows_xp_version(int& exit_code);

bool reports_windows_xp();
