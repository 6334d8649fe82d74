// Files through which the launcher and the updater coordinate, both in the
// folder of the downloaded releases (the launcher's "updates" folder, where
// the package handed to the updater lies). Header-only: the launcher's update
// code includes it without linking the updater.
#pragma once

namespace tarvik {

// Held by a running updater (a lock file with its process id); a launcher
// started meanwhile sees it and ends instead of starting a second hand-off.
inline constexpr char kUpdaterLockFile[] = "updater.lock";
// A lock file that names no owner (left empty by a kill at the instant it
// was made) counts as stale, like one whose owner has ended.

// Written by an updater that failed and started the old launcher again:
// {"sha256": the release's digest, "message": the failure}. The launcher
// shows the message once and does not hand off to that release during that
// start; it removes the file when it has read it.
inline constexpr char kUpdateFailureFile[] = "update-failed.json";

} // namespace tarvik
