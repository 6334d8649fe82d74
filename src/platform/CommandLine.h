// The program's own command line as UTF-8 arguments, the program name first.
// On Windows the wide command line is split with CommandLineToArgvW, so
// arguments outside the ANSI code page (Czech folder names) survive; on POSIX
// argv already is UTF-8. Qt-free.
#pragma once

#include <string>
#include <vector>

namespace tarvik::platform {

// Windows ignores argc/argv and reads GetCommandLineW.
std::vector<std::string> commandLineArguments(int argc, char** argv);

#ifdef _WIN32
// CommandLineToArgvW on the given command line; empty when it fails.
std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine);
#endif

} // namespace tarvik::platform
