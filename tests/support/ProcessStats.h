#pragma once
// What a running process uses, read from /proc: resident memory, processor time, open
// descriptors and connections.

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <unistd.h>

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

// User and system time, in seconds, from a /proc .../stat file (a process's or a thread's).
inline double CpuSecondsFromStat(const std::string& path)
{
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    const std::size_t nEnd = line.rfind(')');
    if (nEnd == std::string::npos)
        return 0;
    std::istringstream in(line.substr(nEnd + 2));
    std::string field;
    double fTicks = 0;
    for (int i = 3; i <= 15 && in >> field; ++i)
        if (i == 14 || i == 15)
            fTicks += std::stod(field);
    return fTicks / double(sysconf(_SC_CLK_TCK));
}

inline double CpuSecondsOf(pid_t pid)
{
    return CpuSecondsFromStat("/proc/" + std::to_string(pid) + "/stat");
}

// The processor time of a process's main thread, and of all its threads together.
struct CThreadCpu
{
    double fMain = 0;
    double fAll = 0;
};
inline CThreadCpu ThreadCpuOf(pid_t pid)
{
    CThreadCpu cpu;
    const std::string proc = "/proc/" + std::to_string(pid);
    cpu.fMain = CpuSecondsFromStat(proc + "/task/" + std::to_string(pid) + "/stat");
    cpu.fAll = CpuSecondsFromStat(proc + "/stat");
    return cpu;
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
