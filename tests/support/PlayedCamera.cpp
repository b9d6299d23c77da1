#include "tests/support/PlayedCamera.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/videodev2.h>
#include <sys/mman.h>

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
const std::pair<int, int> kSizes[] = {{640, 480}, {320, 240}};
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

void CPlayedCamera::Produce()
{
    if (!m_bStreaming || bUnplugged)
        return;
    const std::size_t stride = std::size_t(nWidth * 3 + 16);
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
        for (int y = 0; y < nHeight; ++y)
            for (int x = 0; x < nWidth; ++x)
            {
                std::uint8_t* p = &b.memory[stride * std::size_t(y) + 3 * std::size_t(x)];
                if (bDark || b.bError) // a broken transfer leaves a broken picture
                    p[0] = p[1] = p[2] = b.bError ? 0x55 : 0;
                else
                    Pixel(nFrame, x, y, p);
            }
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
            nNowNs = nDeadline;
            return 0;
        }
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
        m_fdPath[m_nNextFd] = pszPath;
        return m_nNextFd++;
    };
    api.close = [this](int fd)
    {
        m_fdPath.erase(fd);
        m_fdDead.erase(fd);
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
    api.persistentName = [this](const std::string& strPath)
    {
        const auto it = devices.find(strPath);
        return it == devices.end() ? std::string() : it->second.strById;
    };
    api.monotonicNs = [this]
    {
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
            for (const auto& [w, h] : kSizes)
                if (int(f->fmt.pix.width) == w && int(f->fmt.pix.height) == h)
                {
                    nWidth = w;
                    nHeight = h;
                }
        }
        f->fmt.pix.width = std::uint32_t(nWidth);
        f->fmt.pix.height = std::uint32_t(nHeight);
        f->fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
        f->fmt.pix.bytesperline = std::uint32_t(nWidth * 3 + 16); // padded rows
        f->fmt.pix.sizeimage = f->fmt.pix.bytesperline * std::uint32_t(nHeight);
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
            b.memory.assign(std::size_t(nWidth * 3 + 16) * std::size_t(nHeight), 0);
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
        const Buffer& buf = m_buffers[i];
        auto* b = static_cast<v4l2_buffer*>(pArg);
        b->index = i;
        b->bytesused = std::uint32_t(buf.memory.size());
        b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (buf.bError ? V4L2_BUF_FLAG_ERROR : 0);
        b->timestamp.tv_sec = buf.nTimestampNs / 1000000000;
        b->timestamp.tv_usec = (buf.nTimestampNs % 1000000000) / 1000;
        b->sequence = buf.nSequence;
        ++nDequeued;
        return 0;
    }
    case VIDIOC_STREAMON:
        m_bStreaming = true;
        m_nNextFrameNs = nNowNs + nPeriodNs;
        m_nSinceStreamOn = 0;
        return 0;
    case VIDIOC_STREAMOFF:
        m_bStreaming = false;
        m_queued.clear();
        m_done.clear();
        return 0;
    case VIDIOC_G_PARM:
    {
        auto* p = static_cast<v4l2_streamparm*>(pArg);
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
        if (d->index > 0)
            return fail(EINVAL);
        d->pixelformat = V4L2_PIX_FMT_YUYV;
        std::strncpy(reinterpret_cast<char*>(d->description), "YUYV 4:2:2",
                     sizeof d->description - 1);
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES:
    {
        auto* s = static_cast<v4l2_frmsizeenum*>(pArg);
        if (s->index >= 2)
            return fail(EINVAL);
        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        s->discrete.width = std::uint32_t(kSizes[s->index].first);
        s->discrete.height = std::uint32_t(kSizes[s->index].second);
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}
