#pragma once
// What a running process uses, read from /proc: resident memory and open descriptors.

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/types.h>

// AddressSanitizer holds freed memory in quarantine, so resident memory grows without a leak;
// memory bounds are checked in the plain build, leaks by the sanitizer itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryIsMeaningful = false;
// The sanitizers make the server several times slower: time bounds allow for it.
constexpr int kSlowdown = 3;
#else
constexpr bool kResidentMemoryIsMeaningful = true;
constexpr int kSlowdown = 1;
#endif

inline long ResidentKiB(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

inline int OpenDescriptorCount(pid_t pid)
{
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); ++it)
        ++n;
    return n;
}
