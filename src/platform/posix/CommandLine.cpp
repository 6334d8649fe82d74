#include "platform/CommandLine.h"

namespace tarvik::platform {

std::vector<std::string> commandLineArguments(int argc, char** argv)
{
    std::vector<std::string> result;
    for (int i = 0; i < argc; ++i)
        result.emplace_back(argv[i] ? argv[i] : "");
    return result;
}

} // namespace tarvik::platform
