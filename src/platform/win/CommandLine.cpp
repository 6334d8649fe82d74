#include "platform/CommandLine.h"

#include "WinStrings.h"

// windows.h first: the other Windows headers depend on it.
#include <windows.h>

#include <shellapi.h>

namespace tarvik::platform {

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine)
{
    int count = 0;
    LPWSTR* arguments = ::CommandLineToArgvW(commandLine.c_str(), &count);
    if (!arguments)
        return {};
    std::vector<std::wstring> result;
    result.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        result.emplace_back(arguments[i]);
    ::LocalFree(arguments);
    return result;
}

std::vector<std::string> commandLineArguments(int /*argc*/, char** /*argv*/)
{
    std::vector<std::string> result;
    for (const std::wstring& argument : splitCommandLine(::GetCommandLineW()))
        result.push_back(win::toUtf8(argument));
    return result;
}

} // namespace tarvik::platform
