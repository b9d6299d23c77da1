#pragma once
// What a running process uses, read from /proc: resident memory, open descriptors and
// connections.

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
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

// One "Vm...:" line of /proc/PID/status in KiB, -1 when missing.
inline long StatusKiB(pid_t pid, const char* pszField)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    const std::string field = std::string(pszField) + ":";
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(field.size()));
    return -1;
}

inline long ResidentKiB(pid_t pid)
{
    return StatusKiB(pid, "VmRSS");
}

// The most resident memory the process has had since it started.
inline long PeakResidentKiB(pid_t pid)
{
    return StatusKiB(pid, "VmHWM");
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

// TCP connections (not listening sockets) the process holds a descriptor of: 0 once every
// client it had is gone from its side.
inline int ConnectionCount(pid_t pid)
{
    std::set<std::string> inodes;
    for (const char* pszTable : {"/proc/net/tcp", "/proc/net/tcp6"})
    {
        std::ifstream f(pszTable);
        std::string line;
        std::getline(f, line); // the column names
        while (std::getline(f, line))
        {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (state != "0A") // listening
                inodes.insert("socket:[" + inode + "]");
        }
    }
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); ++it)
    {
        std::error_code ecLink;
        n += inodes.count(std::filesystem::read_symlink(it->path(), ecLink).string()) > 0;
    }
    return n;
}

// The inode of the socket listening on nPort (IPv4 or IPv6), "" when none: a socket closed and
// opened again on the same port has another.
inline std::string ListeningSocket(unsigned nPort)
{
    for (const char* pszTable : {"/proc/net/tcp6", "/proc/net/tcp"})
    {
        std::ifstream f(pszTable);
        std::string line;
        std::getline(f, line);
        while (std::getline(f, line))
        {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            const auto colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos &&
                std::stoul(local.substr(colon + 1), nullptr, 16) == nPort)
                return inode;
        }
    }
    return {};
}
