#include "tests/support/PlayedCamera.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace
{
struct Control
{
    std::uint32_t nId;
    const char* pszName;
    std::uint32_t nType;
    std::int32_t nMin, nMax, nDefault;
};
const Control kControls[] = {
    {V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, 0, 255, 128},
    {V4L2_CID_AUTOGAIN, "Gain, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1},
    {V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", V4L2_CTRL_TYPE_MENU, 0, 2, 1},
};
const char* const kMenu[] = {"Disabled", "50 Hz", "60 Hz"};
// The camera's formats: YUYV up to 640x480 at 30 frames a second and 1280x720 at 10 (the bus
// is too narrow for more), MJPEG at 30 at every size.
struct Mode
{
    std::uint32_t nFormat;
    int w, h, nFps;
};
const Mode kModes[] = {
    {V4L2_PIX_FMT_YUYV, 640, 480, 30},  {V4L2_PIX_FMT_YUYV, 320, 240, 30},
    {V4L2_PIX_FMT_YUYV, 1280, 720, 10}, {V4L2_PIX_FMT_MJPEG, 640, 480, 30},
    {V4L2_PIX_FMT_MJPEG, 320, 240, 30}, {V4L2_PIX_FMT_MJPEG, 1280, 720, 30},
};
const Mode* FindMode(std::uint32_t nFormat, int w, int h)
{
    for (const Mode& m : kModes)
        if (m.nFormat == nFormat && m.w == w && m.h == h)
            return &m;
    return nullptr;
}
// What a played frame carries in place of pixels: its number, or a mark.
constexpr std::uint32_t kDarkMark = 0;
constexpr std::uint32_t kBrokenMark = 0xFFFFFFFF;
constexpr std::uint32_t kCorruptMark = 0xFFFFFFFE;
} // namespace

CPlayedCamera::CPlayedCamera()
{
    for (const Control& c : kControls)
        controls[c.nId] = c.nDefault;
}

void CPlayedCamera::Pixel(std::uint32_t nFrame, int x, int y, std::uint8_t* p)
{
    p[0] = std::uint8_t(nFrame);
    p[1] = std::uint8_t(x);
    p[2] = std::uint8_t(y);
}

void CPlayedCamera::FollowRealTime()
{
    if (!bRealTime)
        return;
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    nNowNs = std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void CPlayedCamera::Advance(std::int64_t nNs)
{
    nNowNs += nNs;
    Produce();
}

void CPlayedCamera::Signal()
{
    // Every descriptor of the camera is readable while a buffer is done, and a gone camera's
    // are readable for good (POLLERR | POLLHUP).
    for (const auto& [fd, path] : m_fdPath)
    {
        const bool bReady = Dead(fd) || (!m_done.empty() && fd == m_nStreamFd);
        bool& bSignalled = m_signalled[fd];
        std::uint64_t n = 1;
        if (bReady && !bSignalled)
            bSignalled = ::write(fd, &n, sizeof n) == ssize_t(sizeof n);
        else if (!bReady && bSignalled)
            bSignalled = !(::read(fd, &n, sizeof n) == ssize_t(sizeof n));
    }
}

void CPlayedCamera::Produce()
{
    FollowRealTime();
    struct CSignalAfter
    {
        CPlayedCamera* p;
        ~CSignalAfter() { p->Signal(); }
    } signal{this};
    if (!m_bStreaming || bUnplugged)
        return;
    for (; m_nNextFrameNs <= nNowNs; m_nNextFrameNs += nPeriodNs)
    {
        ++nFrame;
        const bool bDark = m_nSinceStreamOn++ < nDarkFrames;
        if (m_queued.empty())
        {
            ++nDropped;
            continue;
        }
        const std::uint32_t i = m_queued.front();
        m_queued.pop_front();
        Buffer& b = m_buffers[i];
        b.bError = nErrorFrames > 0;
        if (b.bError)
            --nErrorFrames;
        // A broken transfer leaves a broken picture; a corrupt one does not decode.
        const bool bCorrupt = !b.bError && !bDark && nCorruptFrames > 0;
        if (bCorrupt)
            --nCorruptFrames;
        const std::uint32_t nMark = b.bError   ? kBrokenMark
                                    : bDark    ? kDarkMark
                                    : bCorrupt ? kCorruptMark
                                               : nFrame;
        std::memcpy(b.memory.data(), &nMark, sizeof nMark);
        b.nBytesUsed = nPixelFormat == V4L2_PIX_FMT_MJPEG ? std::size_t(nWidth * nHeight / 8)
                                                          : b.memory.size();
        b.nTimestampNs = m_nNextFrameNs;
        b.nSequence = nFrame;
        m_done.push_back(i);
    }
}

int CPlayedCamera::WaitReadable(int nTimeoutMs)
{
    if (bUnplugged)
    {
        errno = ENODEV;
        return -1;
    }
    Produce();
    const std::int64_t nDeadline = nNowNs + std::int64_t(nTimeoutMs) * 1000000;
    while (m_done.empty())
    {
        if (!m_bStreaming || m_nNextFrameNs > nDeadline)
        {
            if (bRealTime)
                std::this_thread::sleep_for(std::chrono::nanoseconds(nDeadline - nNowNs));
            nNowNs = nDeadline;
            return 0;
        }
        if (bRealTime)
            std::this_thread::sleep_for(std::chrono::nanoseconds(m_nNextFrameNs - nNowNs));
        else
            nNowNs = m_nNextFrameNs; // the wait lasts until the sensor's next frame
        Produce();
    }
    return 1;
}

void CPlayedCamera::Unplug(const std::string& strPath)
{
    m_unplugged = devices[strPath];
    m_strUnpluggedPath = strPath;
    devices.erase(strPath);
    for (const auto& [fd, path] : m_fdPath)
        if (path == strPath)
            m_fdDead[fd] = true;
    m_bStreaming = false;
    m_queued.clear();
    m_done.clear();
    Signal();
}

std::string CPlayedCamera::Replug()
{
    std::string path = m_strUnpluggedPath;
    const auto held = [this](const std::string& p)
    {
        for (const auto& [fd, q] : m_fdPath)
            if (q == p)
                return true;
        return devices.count(p) != 0;
    };
    for (int n = 0; held(path); ++n)
        path = "/dev/video" + std::to_string(10 + n);
    devices[path] = m_unplugged;
    return path;
}

bool CPlayedCamera::Dead(int fd) const
{
    const auto it = m_fdDead.find(fd);
    return bUnplugged || (it != m_fdDead.end() && it->second);
}

CV4l2Api CPlayedCamera::Api()
{
    CV4l2Api api;
    api.open = [this](const char* pszPath, int)
    {
        const auto it = devices.find(pszPath);
        if (it == devices.end() || bUnplugged)
        {
            errno = ENOENT;
            return -1;
        }
        if (it->second.nOpenErrno != 0)
        {
            errno = it->second.nOpenErrno;
            return -1;
        }
        ++nOpen;
        // A real descriptor, so that the program can watch it: readable while a buffer is
        // done, as a camera's is.
        const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        m_fdPath[fd] = pszPath;
        return fd;
    };
    api.close = [this](int fd)
    {
        m_fdPath.erase(fd);
        m_fdDead.erase(fd);
        m_signalled.erase(fd);
        ::close(fd);
        --nOpen;
        return 0;
    };
    api.ioctl = [this](int fd, unsigned long r, void* a)
    {
        return Ioctl(fd, r, a);
    };
    api.mmap = [this](std::size_t n, int, off_t nOffset) -> void*
    {
        const std::size_t i = std::size_t(nOffset) / 4096;
        if (i >= m_buffers.size() || n > m_buffers[i].memory.size())
        {
            errno = EINVAL;
            return MAP_FAILED;
        }
        ++nMapped;
        return m_buffers[i].memory.data();
    };
    api.munmap = [this](void*, std::size_t)
    {
        --nMapped;
        return 0;
    };
    api.waitReadable = [this](int fd, int nTimeoutMs)
    {
        if (Dead(fd))
        {
            errno = ENODEV; // poll says POLLERR | POLLHUP
            return -1;
        }
        return WaitReadable(nTimeoutMs);
    };
    api.convertToBgr = [this](int, const v4l2_format& src, const std::uint8_t* pSrc,
                              std::size_t nSrc, std::uint8_t* pDst, std::size_t nDst) -> int
    {
        ++nConversions;
        const int w = int(src.fmt.pix.width);
        const int h = int(src.fmt.pix.height);
        std::uint32_t nMark = kBrokenMark;
        if (nSrc >= sizeof nMark)
            std::memcpy(&nMark, pSrc, sizeof nMark);
        if (nMark == kCorruptMark || FindMode(src.fmt.pix.pixelformat, w, h) == nullptr ||
            nDst < std::size_t(w) * std::size_t(h) * 3)
        {
            errno = EINVAL;
            return -1;
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
            {
                std::uint8_t* p = pDst + (std::size_t(y) * std::size_t(w) + std::size_t(x)) * 3;
                if (nMark == kDarkMark || nMark == kBrokenMark)
                    p[0] = p[1] = p[2] = nMark == kDarkMark ? 0 : 0x55;
                else
                    Pixel(nMark, x, y, p);
            }
        return w * h * 3;
    };
    api.persistentName = [this](const std::string& strPath)
    {
        const auto it = devices.find(strPath);
        return it == devices.end() ? std::string() : it->second.strById;
    };
    api.monotonicNs = [this]
    {
        FollowRealTime();
        return nNowNs;
    };
    api.listDevices = [this]
    {
        std::vector<std::string> paths;
        for (const auto& d : devices)
            paths.push_back(d.first);
        return paths;
    };
    return api;
}

int CPlayedCamera::Ioctl(int fd, unsigned long nRequest, void* pArg)
{
    auto fail = [](int e)
    {
        errno = e;
        return -1;
    };
    if (Dead(fd) && nRequest != VIDIOC_STREAMOFF && nRequest != VIDIOC_REQBUFS)
        return fail(ENODEV);
    const auto path = m_fdPath.find(fd);
    const Device* pDev = path == m_fdPath.end() || devices.count(path->second) == 0
                             ? nullptr
                             : &devices[path->second];
    if (pDev != nullptr && pDev->bBusy && (nRequest == VIDIOC_S_FMT || nRequest == VIDIOC_REQBUFS))
        return fail(EBUSY);
    switch (nRequest)
    {
    case VIDIOC_QUERYCAP:
    {
        auto* cap = static_cast<v4l2_capability*>(pArg);
        std::memset(cap, 0, sizeof *cap);
        std::strncpy(reinterpret_cast<char*>(cap->card), pDev ? pDev->strCard.c_str() : "",
                     sizeof cap->card - 1);
        std::strncpy(reinterpret_cast<char*>(cap->bus_info), pDev ? pDev->strBusInfo.c_str() : "",
                     sizeof cap->bus_info - 1);
        cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        cap->device_caps = (pDev && pDev->bCapture) ? (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING)
                                                    : V4L2_CAP_META_CAPTURE;
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    {
        auto* f = static_cast<v4l2_format*>(pArg);
        if (nRequest == VIDIOC_S_FMT)
        {
            if (m_bStreaming)
                return fail(EBUSY);
            // As drivers do: the nearest mode of the format asked for (else the current one).
            const std::uint32_t nFormat = FindMode(f->fmt.pix.pixelformat, 640, 480) != nullptr
                                              ? f->fmt.pix.pixelformat
                                              : nPixelFormat;
            if (FindMode(nFormat, int(f->fmt.pix.width), int(f->fmt.pix.height)) != nullptr)
            {
                nWidth = int(f->fmt.pix.width);
                nHeight = int(f->fmt.pix.height);
            }
            nPixelFormat = nFormat;
            const Mode* m = FindMode(nPixelFormat, nWidth, nHeight);
            nPeriodNs = 1000000000 / m->nFps;
        }
        f->fmt.pix.width = std::uint32_t(nWidth);
        f->fmt.pix.height = std::uint32_t(nHeight);
        f->fmt.pix.pixelformat = nPixelFormat;
        f->fmt.pix.bytesperline = nPixelFormat == V4L2_PIX_FMT_YUYV ? std::uint32_t(nWidth * 2) : 0;
        f->fmt.pix.sizeimage = std::uint32_t(nWidth * nHeight * 2);
        return 0;
    }
    case VIDIOC_REQBUFS:
    {
        auto* r = static_cast<v4l2_requestbuffers*>(pArg);
        if (m_bStreaming && r->count > 0)
            return fail(EBUSY);
        m_buffers.clear();
        m_queued.clear();
        m_done.clear();
        m_buffers.resize(r->count);
        for (auto& b : m_buffers)
            b.memory.assign(std::size_t(nWidth * nHeight * 2), 0);
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    {
        auto* b = static_cast<v4l2_buffer*>(pArg);
        if (b->index >= m_buffers.size())
            return fail(EINVAL);
        b->length = std::uint32_t(m_buffers[b->index].memory.size());
        b->m.offset = b->index * 4096;
        if (nRequest == VIDIOC_QBUF)
        {
            Produce(); // frames due before this buffer was queued do not go into it
            const auto queued = [&](const std::deque<std::uint32_t>& q)
            {
                return std::find(q.begin(), q.end(), b->index) != q.end();
            };
            if (queued(m_queued) || queued(m_done))
                return fail(EINVAL);
            m_queued.push_back(b->index);
        }
        return 0;
    }
    case VIDIOC_DQBUF:
    {
        if (!m_bStreaming)
            return fail(EINVAL);
        Produce();
        if (m_done.empty())
            return fail(EAGAIN);
        const std::uint32_t i = m_done.front();
        m_done.pop_front();
        Signal();
        const Buffer& buf = m_buffers[i];
        auto* b = static_cast<v4l2_buffer*>(pArg);
        b->index = i;
        b->bytesused = std::uint32_t(buf.nBytesUsed);
        b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (buf.bError ? V4L2_BUF_FLAG_ERROR : 0);
        b->timestamp.tv_sec = buf.nTimestampNs / 1000000000;
        b->timestamp.tv_usec = (buf.nTimestampNs % 1000000000) / 1000;
        b->sequence = buf.nSequence;
        ++nDequeued;
        return 0;
    }
    case VIDIOC_STREAMON:
        m_bStreaming = true;
        m_nStreamFd = fd;
        m_nNextFrameNs = nNowNs + nPeriodNs;
        m_nSinceStreamOn = 0;
        return 0;
    case VIDIOC_STREAMOFF:
        m_bStreaming = false;
        m_queued.clear();
        m_done.clear();
        return 0;
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
    {
        auto* p = static_cast<v4l2_streamparm*>(pArg);
        const v4l2_fract want = p->parm.capture.timeperframe;
        const Mode* m = FindMode(nPixelFormat, nWidth, nHeight);
        // As fast as asked, but no faster than the mode goes.
        if (nRequest == VIDIOC_S_PARM && want.numerator != 0 && want.denominator != 0)
            nPeriodNs =
                std::max<std::int64_t>(std::int64_t(want.numerator) * 1000000000 / want.denominator,
                                       m != nullptr ? 1000000000 / m->nFps : 0);
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe.numerator = std::uint32_t(nPeriodNs / 1000);
        p->parm.capture.timeperframe.denominator = 1000000;
        return 0;
    }
    case VIDIOC_QUERYCTRL:
    {
        auto* q = static_cast<v4l2_queryctrl*>(pArg);
        const bool bNext = q->id & V4L2_CTRL_FLAG_NEXT_CTRL;
        const std::uint32_t nId = q->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
        for (const Control& c : kControls)
            if (bNext ? c.nId > nId : c.nId == nId)
            {
                std::memset(q, 0, sizeof *q);
                q->id = c.nId;
                q->type = c.nType;
                std::strncpy(reinterpret_cast<char*>(q->name), c.pszName, sizeof q->name - 1);
                q->minimum = c.nMin;
                q->maximum = c.nMax;
                q->step = 1;
                q->default_value = c.nDefault;
                return 0;
            }
        return fail(EINVAL);
    }
    case VIDIOC_QUERYMENU:
    {
        auto* m = static_cast<v4l2_querymenu*>(pArg);
        if (m->id != V4L2_CID_POWER_LINE_FREQUENCY || m->index > 2)
            return fail(EINVAL);
        std::strncpy(reinterpret_cast<char*>(m->name), kMenu[m->index], sizeof m->name - 1);
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    {
        auto* v = static_cast<v4l2_control*>(pArg);
        const auto it = controls.find(v->id);
        if (it == controls.end())
            return fail(EINVAL);
        if (nRequest == VIDIOC_S_CTRL)
            it->second = v->value;
        v->value = it->second;
        return 0;
    }
    case VIDIOC_ENUM_FMT:
    {
        auto* d = static_cast<v4l2_fmtdesc*>(pArg);
        if (d->index > 1)
            return fail(EINVAL);
        const bool bMjpeg = d->index == 1;
        d->pixelformat = bMjpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
        d->flags = bMjpeg ? V4L2_FMT_FLAG_COMPRESSED : 0;
        std::strncpy(reinterpret_cast<char*>(d->description), bMjpeg ? "Motion-JPEG" : "YUYV 4:2:2",
                     sizeof d->description - 1);
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES:
    {
        auto* e = static_cast<v4l2_frmsizeenum*>(pArg);
        std::uint32_t n = 0;
        for (const Mode& m : kModes)
            if (m.nFormat == e->pixel_format && n++ == e->index)
            {
                e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                e->discrete.width = std::uint32_t(m.w);
                e->discrete.height = std::uint32_t(m.h);
                return 0;
            }
        return fail(EINVAL);
    }
    case VIDIOC_ENUM_FRAMEINTERVALS:
    {
        auto* e = static_cast<v4l2_frmivalenum*>(pArg);
        const Mode* m = FindMode(e->pixel_format, int(e->width), int(e->height));
        if (m == nullptr || e->index > 0)
            return fail(EINVAL);
        e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        e->discrete = {1, std::uint32_t(m->nFps)};
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}
