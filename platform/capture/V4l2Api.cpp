#include "platform/capture/V4l2Api.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

CV4l2Api CV4l2Api::System()
{
    CV4l2Api api;
    api.open = [](const char* p, int f)
    {
        return ::open(p, f | O_CLOEXEC);
    };
    api.close = [](int fd)
    {
        return ::close(fd);
    };
    api.ioctl = [](int fd, unsigned long r, void* a)
    {
        return ::ioctl(fd, r, a);
    };
    api.mmap = [](std::size_t n, int fd, off_t o)
    {
        return ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED, fd, o);
    };
    api.munmap = [](void* p, std::size_t n)
    {
        return ::munmap(p, n);
    };
    api.monotonicNs = []
    {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    api.persistentName = [](const std::string& strPath)
    {
        std::error_code ec;
        const auto node = std::filesystem::canonical(strPath, ec);
        if (ec)
            return std::string();
        for (const auto& e : std::filesystem::directory_iterator("/dev/v4l/by-id", ec))
        {
            std::error_code ecLink;
            if (std::filesystem::canonical(e.path(), ecLink) == node && !ecLink)
                return e.path().filename().string();
        }
        return std::string();
    };
    api.listDevices = []
    {
        // /dev/videoN in numeric order.
        std::vector<std::pair<int, std::string>> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/dev", ec))
        {
            const std::string name = e.path().filename().string();
            if (name.rfind("video", 0) != 0 || name.size() == 5 ||
                !std::all_of(name.begin() + 5, name.end(),
                             [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            found.emplace_back(std::stoi(name.substr(5)), e.path().string());
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> paths;
        for (auto& f : found)
            paths.push_back(f.second);
        return paths;
    };
    return api;
}

int Xioctl(const CV4l2Api& api, int fd, unsigned long nRequest, void* pArg)
{
    int n;
    do
        n = api.ioctl(fd, nRequest, pArg);
    while (n < 0 && errno == EINTR);
    return n < 0 ? (errno != 0 ? errno : EIO) : 0;
}

const char* V4l2RequestName(unsigned long nRequest)
{
    switch (nRequest)
    {
    case VIDIOC_QUERYCAP:
        return "VIDIOC_QUERYCAP";
    case VIDIOC_G_FMT:
        return "VIDIOC_G_FMT";
    case VIDIOC_S_FMT:
        return "VIDIOC_S_FMT";
    case VIDIOC_REQBUFS:
        return "VIDIOC_REQBUFS";
    case VIDIOC_QUERYBUF:
        return "VIDIOC_QUERYBUF";
    case VIDIOC_QBUF:
        return "VIDIOC_QBUF";
    case VIDIOC_DQBUF:
        return "VIDIOC_DQBUF";
    case VIDIOC_STREAMON:
        return "VIDIOC_STREAMON";
    case VIDIOC_STREAMOFF:
        return "VIDIOC_STREAMOFF";
    case VIDIOC_G_PARM:
        return "VIDIOC_G_PARM";
    case VIDIOC_S_PARM:
        return "VIDIOC_S_PARM";
    case VIDIOC_QUERYCTRL:
        return "VIDIOC_QUERYCTRL";
    case VIDIOC_QUERYMENU:
        return "VIDIOC_QUERYMENU";
    case VIDIOC_G_CTRL:
        return "VIDIOC_G_CTRL";
    case VIDIOC_S_CTRL:
        return "VIDIOC_S_CTRL";
    case VIDIOC_ENUM_FMT:
        return "VIDIOC_ENUM_FMT";
    case VIDIOC_ENUM_FRAMESIZES:
        return "VIDIOC_ENUM_FRAMESIZES";
    case VIDIOC_ENUM_FRAMEINTERVALS:
        return "VIDIOC_ENUM_FRAMEINTERVALS";
    default:
        return "ioctl";
    }
}
