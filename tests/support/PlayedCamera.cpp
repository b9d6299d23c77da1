#include "tests/support/PlayedCamera.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jpeglib.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
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
// What a buffer is filled with, besides a frame's own number.
constexpr std::uint32_t kDarkMark = 0;
constexpr std::uint32_t kBrokenMark = 0xFFFFFFFF;
constexpr std::uint32_t kCorruptMark = 0xFFFFFFFE;
constexpr int kCodeBits = 16;

// YUYV as libv4lconvert reads it back (full-range luma, its own chroma factors), so that a
// flat colour survives the round trip to within rounding.
void ToYuyv(const std::uint8_t* pBgr, int w, int h, std::uint8_t* pOut)
{
    auto clip = [](double v)
    {
        return std::uint8_t(std::clamp(v + 0.5, 0.0, 255.0));
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x + 1 < w; x += 2)
        {
            const std::uint8_t* a = pBgr + (std::size_t(y) * std::size_t(w) + std::size_t(x)) * 3;
            const std::uint8_t* b = a + 3;
            const double ya = 0.110 * a[0] + 0.593 * a[1] + 0.297 * a[2];
            const double yb = 0.110 * b[0] + 0.593 * b[1] + 0.297 * b[2];
            const double u = ((a[0] - ya) + (b[0] - yb)) / 2 / 2.0156;
            const double v = ((a[2] - ya) + (b[2] - yb)) / 2 / 1.5;
            std::uint8_t* o = pOut + (std::size_t(y) * std::size_t(w) + std::size_t(x)) * 2;
            o[0] = clip(ya);
            o[1] = clip(u + 128);
            o[2] = clip(yb);
            o[3] = clip(v + 128);
        }
}

// A baseline JPEG of the picture, without its Huffman tables (FFC4 segments), as Motion-JPEG
// from a USB camera comes: the decoder is expected to know the standard ones.
std::vector<std::uint8_t> ToMjpeg(const std::uint8_t* pBgr, int w, int h)
{
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char* pOut = nullptr;
    unsigned long nOut = 0;
    jpeg_mem_dest(&c, &pOut, &nOut);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 3;
    c.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height)
    {
        JSAMPROW row = const_cast<std::uint8_t*>(pBgr) + std::size_t(c.next_scanline) * w * 3;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<std::uint8_t> out(pOut, pOut + 2);
    std::size_t i = 2;
    while (i + 4 <= nOut && pOut[i] == 0xFF && pOut[i + 1] != 0xDA)
    {
        const std::size_t nSegment = 2 + ((std::size_t(pOut[i + 2]) << 8) | pOut[i + 3]);
        if (pOut[i + 1] != 0xC4)
            out.insert(out.end(), pOut + i, pOut + i + nSegment);
        i += nSegment;
    }
    out.insert(out.end(), pOut + i, pOut + nOut);
    std::free(pOut);
    return out;
}
} // namespace

CPlayedCamera::CPlayedCamera()
{
    for (const Control& c : kControls)
        controls[c.nId] = c.nDefault;
}

CPlayedCamera::~CPlayedCamera() = default;

void CPlayedCamera::Picture(std::uint32_t nFrame, int w, int h, std::uint8_t* pBgr)
{
    const int nBand = h / 4;
    const int nBlock = w / kCodeBits;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
        {
            std::uint8_t* p = pBgr + (std::size_t(y) * std::size_t(w) + std::size_t(x)) * 3;
            if (y < nBand)
            {
                const int nBit = std::min(x / nBlock, kCodeBits - 1);
                p[0] = p[1] = p[2] = (nFrame >> (kCodeBits - 1 - nBit)) & 1 ? 255 : 0;
                continue;
            }
            p[0] = 128;
            p[1] = std::uint8_t(x * 255 / std::max(1, w - 1));
            p[2] = std::uint8_t(y * 255 / std::max(1, h - 1));
        }
}

int CPlayedCamera::FrameNumberOf(const std::uint8_t* pBgr, int w, int h, int nStride)
{
    if (w < kCodeBits * 4 || h < 16)
        return -1;
    auto at = [&](int x, int y)
    {
        return pBgr + std::size_t(y) * std::size_t(nStride) + x * 3;
    };
    // Below the number the picture is blue 128: a dark frame or another picture is no code.
    if (std::abs(int(at(w / 2, h * 5 / 8)[0]) - 128) > 24)
        return -1;
    const int nBlock = w / kCodeBits;
    int n = 0;
    for (int i = 0; i < kCodeBits; ++i)
    {
        const std::uint8_t* p = at(i * nBlock + nBlock / 2, h / 8);
        const int nLuma = (p[0] + p[1] + p[2]) / 3;
        if (nLuma > 96 && nLuma < 160)
            return -1;
        n = (n << 1) | (nLuma >= 160 ? 1 : 0);
    }
    return n;
}

bool CPlayedCamera::LooksRight(const std::uint8_t* pBgr, int w, int h, int nStride, int x, int y)
{
    const std::uint8_t* p = pBgr + std::size_t(y) * std::size_t(nStride) + std::size_t(x) * 3;
    const int want[3] = {128, x * 255 / std::max(1, w - 1), y * 255 / std::max(1, h - 1)};
    for (int i = 0; i < 3; ++i)
        if (std::abs(int(p[i]) - want[i]) > 16)
            return false;
    return true;
}

std::vector<std::uint8_t> CPlayedCamera::FrameBytes(std::uint32_t nFrame, std::uint32_t nFormat,
                                                    int w, int h)
{
    std::vector<std::uint8_t> picture(std::size_t(w) * std::size_t(h) * 3);
    Picture(nFrame, w, h, picture.data());
    if (nFormat == V4L2_PIX_FMT_MJPEG)
        return ToMjpeg(picture.data(), w, h);
    std::vector<std::uint8_t> yuyv(std::size_t(w) * std::size_t(h) * 2);
    ToYuyv(picture.data(), w, h, yuyv.data());
    return yuyv;
}

void CPlayedCamera::FollowRealTime()
{
    if (!m_bRealTime)
        return;
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    nNowNs = std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void CPlayedCamera::RunInRealTime()
{
    m_bRealTime = true;
    FollowRealTime();
    m_pClock = std::make_unique<QTimer>();
    m_pClock->setSingleShot(true);
    m_pClock->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_pClock.get(), &QTimer::timeout, [this] { Produce(); });
}

void CPlayedCamera::ScheduleNextFrame()
{
    if (!m_pClock || !m_bStreaming || bUnplugged)
        return;
    const std::int64_t nWaitNs = std::max<std::int64_t>(0, m_nNextFrameNs - nNowNs);
    m_pClock->start(int((nWaitNs + 999999) / 1000000));
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

void CPlayedCamera::Fill(std::uint32_t nBuffer, std::uint32_t nMark)
{
    Buffer& b = m_buffers[nBuffer];
    if (nMark == kBrokenMark)
    {
        // What a broken transfer leaves: never looked at, since the buffer says so.
        b.nBytesUsed = b.memory.size() / 3;
        return;
    }
    m_picture.resize(std::size_t(nWidth) * std::size_t(nHeight) * 3);
    if (nMark == kDarkMark)
        std::fill(m_picture.begin(), m_picture.end(), 0);
    else
        Picture(nMark == kCorruptMark ? nFrame : nMark, nWidth, nHeight, m_picture.data());
    if (nPixelFormat == V4L2_PIX_FMT_MJPEG)
    {
        std::vector<std::uint8_t> jpeg = ToMjpeg(m_picture.data(), nWidth, nHeight);
        // A frame cut short in the transfer: a third of it, which does not decode whole.
        if (nMark == kCorruptMark)
            jpeg.resize(jpeg.size() / 3);
        b.nBytesUsed = std::min(jpeg.size(), b.memory.size());
        std::memcpy(b.memory.data(), jpeg.data(), b.nBytesUsed);
        return;
    }
    ToYuyv(m_picture.data(), nWidth, nHeight, b.memory.data());
    b.nBytesUsed = nMark == kCorruptMark ? b.memory.size() / 2 : b.memory.size();
}

void CPlayedCamera::Produce()
{
    FollowRealTime();
    struct CAfter
    {
        CPlayedCamera* p;
        ~CAfter()
        {
            p->Signal();
            p->ScheduleNextFrame();
        }
    } after{this};
    if (!m_bStreaming || bUnplugged)
        return;
    for (; m_nNextFrameNs <= nNowNs; m_nNextFrameNs += nPeriodNs)
    {
        if (bStalled)
            continue; // no frame, and no word of why
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
        const bool bCorrupt = !b.bError && !bDark && nCorruptFrames > 0;
        if (bCorrupt)
            --nCorruptFrames;
        Fill(i, b.bError ? kBrokenMark : bDark ? kDarkMark : bCorrupt ? kCorruptMark : nFrame);
        b.nTimestampNs = m_nNextFrameNs;
        b.nSequence = nFrame;
        m_done.push_back(i);
    }
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
        if (fd == m_nStreamFd)
        {
            m_bStreaming = false;
            m_nStreamFd = -1;
        }
        m_fdPath.erase(fd);
        m_fdDead.erase(fd);
        m_signalled.erase(fd);
        ::close(fd);
        --nOpen;
        if (nOpen == 0 && bStalled && nStallCure == 2)
            bStalled = false; // let go of and opened afresh, it works again
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
        if (bStalled && nStallCure == 1)
            bStalled = false; // a restarted stream brings it back
        ++nStreamStarts;
        m_bStreaming = true;
        m_nStreamFd = fd;
        m_nNextFrameNs = nNowNs + nPeriodNs;
        m_nSinceStreamOn = 0;
        return 0;
    case VIDIOC_STREAMOFF:
        m_bStreaming = false;
        m_queued.clear();
        m_done.clear();
        Signal();
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
