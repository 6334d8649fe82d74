// The updater's only user interface: a modal error box (Windows MessageBoxW
// with the error icon and no owner) or, on POSIX, the message on standard
// error. Qt-free; call on the main thread.
#pragma once

#include <string>

namespace tarvik::platform {

// Title and text are UTF-8.
void showErrorBox(const std::string& title, const std::string& text);

} // namespace tarvik::platform
