#include "platform/ErrorBox.h"

#include "WinStrings.h"

#include <windows.h>

namespace tarvik::platform {

void showErrorBox(const std::string& title, const std::string& text)
{
    ::MessageBoxW(nullptr, win::toWide(text).c_str(), win::toWide(title).c_str(),
                  MB_OK | MB_ICONERROR);
}

} // namespace tarvik::platform
