#include "platform/capture/V4l2Api.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <libv4l2.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>

namespace
{
// One converter for each open camera: it learns the camera's formats once.
struct CConverters
{
    std::map<int, v4lconvert_data*> byFd;
    ~CConverters()
    {
        for (auto& [fd, p] : byFd)
            v4lconvert_destroy(p);
    }
};
} // namespace

CV4l2Api CV4l2Api::System()
{
    CV4l2Api api;
    auto converters = std::make_shared<CConverters>();
    api.open = [](const char* p, int f)
    {
        return v4l2_open(p, f);
    };
    api.close = [converters](int fd)
    {
        const auto it = converters->byFd.find(fd);
        if (it != converters->byFd.end())
        {
            v4lconvert_destroy(it->second);
            converters->byFd.erase(it);
        }
        return v4l2_close(fd);
    };
    api.convertToBgr = [converters](int fd, const v4l2_format& src, const std::uint8_t* pSrc,
                                    std::size_t nSrc, std::uint8_t* pDst, std::size_t nDst)
    {
        v4lconvert_data*& p = converters->byFd[fd];
        if (p == nullptr)
            p = v4lconvert_create(fd);
        if (p == nullptr)
        {
            errno = ENOMEM;
            return -1;
        }
        v4l2_format from = src;
        v4l2_format to = src;
        to.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
        to.fmt.pix.bytesperline = to.fmt.pix.width * 3;
        to.fmt.pix.sizeimage = to.fmt.pix.bytesperline * to.fmt.pix.height;
        return v4lconvert_convert(p, &from, &to, const_cast<std::uint8_t*>(pSrc), int(nSrc), pDst,
                                  int(nDst));
    };
    api.ioctl = [](int fd, unsigned long r, void* a)
    {
        return v4l2_ioctl(fd, r, a);
    };
    api.mmap = [](std::size_t n, int fd, off_t o)
    {
        return v4l2_mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED, fd, o);
    };
    api.munmap = [](void* p, std::size_t n)
    {
        return v4l2_munmap(p, n);
    };
    api.waitReadable = [](int fd, int ms)
    {
        pollfd p{fd, POLLIN, 0};
        int n;
        do
            n = ::poll(&p, 1, ms);
        while (n < 0 && errno == EINTR);
        if (n > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLIN))
        {
            errno = ENODEV;
            return -1;
        }
        return n > 0 ? 1 : n;
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
    default:
        return "ioctl";
    }
}
