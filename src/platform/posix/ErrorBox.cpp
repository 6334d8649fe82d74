#include "platform/ErrorBox.h"

#include <cstdio>

namespace tarvik::platform {

void showErrorBox(const std::string& title, const std::string& text)
{
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

} // namespace tarvik::platform
