#pragma once
// An X display number that no server uses yet, for a test's own Xvfb; -1 when none is free.

#include <filesystem>
#include <string>

inline int FreeDisplay(int nFrom)
{
    for (int n = nFrom; n < nFrom + 50; ++n)
        if (!std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock") &&
            !std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)))
            return n;
    return -1;
}
