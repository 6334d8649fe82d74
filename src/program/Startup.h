// The launcher's process entry once the application object exists: the
// application identity, the data folder, the single-instance lock, the
// Controller and the window, and the message boxes of a failed start.
// `main` constructs the QApplication and hands it here; tests call it with
// their own application object.
#pragma once

class QApplication;

namespace tarvik {

// Runs the launcher until its event loop ends and returns the exit code: the
// loop's code, 0 when another launcher already holds the lock, 1 when
// start-up fails (the failure is shown in a critical message box first).
int runClient(QApplication& app);

} // namespace tarvik
