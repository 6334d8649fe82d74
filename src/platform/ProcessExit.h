// The end of a program's main: the process ends with its exit code. Qt-free.
#pragma once

namespace tarvik::platform {

// Ends this process with the exit code once the program has closed and
// saved everything it owns, without the libraries' unload code. Needed by the
// MinGW-w64 build on Windows: there libstdc++ destroys Qt Core's thread-local
// animation timers (left by the style's transitions) only after Qt Core has
// been unloaded, and that destruction never returns, so the launcher would
// never end and its updater would wait in vain. Elsewhere it returns at once.
void endProcess(int exitCode);

} // namespace tarvik::platform
