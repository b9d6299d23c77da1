#include "platform/capture/V4l2Driver.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

namespace
{
std::string FourCc(std::uint32_t f)
{
    std::string s;
    for (int i = 0; i < 4; ++i)
        s.push_back(char((f >> (8 * i)) & 0xFF));
    return s;
}

std::string Text(const std::uint8_t* p, std::size_t nMax)
{
    return std::string(reinterpret_cast<const char*>(p),
                       strnlen(reinterpret_cast<const char*>(p), nMax));
}
} // namespace

CV4l2Driver::CV4l2Driver(CV4l2Api api, std::string strPath, std::string strCard,
                         std::string strIdentity)
    : m_api(std::move(api)), m_strPath(std::move(strPath)), m_strCard(std::move(strCard)),
      m_strIdentity(strIdentity.empty() ? m_strCard : std::move(strIdentity))
{
}

std::string CV4l2Driver::Identity(const CV4l2Api& api, const std::string& strPath,
                                  const v4l2_capability& cap)
{
    const std::string byId = api.persistentName ? api.persistentName(strPath) : "";
    if (!byId.empty())
        return byId;
    std::string card = Text(cap.card, sizeof cap.card);
    if (card.empty())
        card = strPath;
    return Text(cap.bus_info, sizeof cap.bus_info) + " " + card;
}

CV4l2Driver::CProbe CV4l2Driver::Probe(const CV4l2Api& api, const std::string& strPath)
{
    CProbe probe;
    const int fd = api.open(strPath.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return probe;
    v4l2_capability cap{};
    if (Xioctl(api, fd, VIDIOC_QUERYCAP, &cap) == 0)
    {
        const std::uint32_t caps =
            (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        if (caps & V4L2_CAP_VIDEO_CAPTURE)
        {
            probe.strCard = Text(cap.card, sizeof cap.card);
            if (probe.strCard.empty())
                probe.strCard = strPath;
            probe.strIdentity = Identity(api, strPath, cap);
        }
    }
    api.close(fd);
    return probe;
}

bool CV4l2Driver::Fail(std::string& strError, const char* pszWhat, int nErrno)
{
    m_bWasBusy = nErrno == EBUSY;
    if (nErrno == EBUSY)
        strError = m_strPath + " (" + m_strCard + ") is in use by another program (" + pszWhat +
                   ": " + std::strerror(nErrno) + ")";
    else
        strError = m_strPath + ": " + pszWhat + ": " + std::strerror(nErrno);
    Close();
    return false;
}

std::string CV4l2Driver::FindNode() const
{
    for (const std::string& path : m_api.listDevices())
        if (Probe(m_api, path).strIdentity == m_strIdentity)
            return path;
    return {};
}

bool CV4l2Driver::Open(std::string& strError)
{
    Close();
    m_bWasBusy = false;
    if (OpenNode(strError))
        return true;
    // Unplugged and back under another node, or its node now another camera's: look for it.
    const std::string path = FindNode();
    if (path.empty() || path == m_strPath)
        return false;
    m_strPath = path;
    return OpenNode(strError);
}

bool CV4l2Driver::OpenNode(std::string& strError)
{
    m_fd = m_api.open(m_strPath.c_str(), O_RDWR | O_NONBLOCK);
    if (m_fd < 0)
    {
        const int e = errno;
        m_fd = -1;
        return Fail(strError, "open", e);
    }
    v4l2_capability cap{};
    if (int e = Xioctl(m_api, m_fd, VIDIOC_QUERYCAP, &cap))
        return Fail(strError, "VIDIOC_QUERYCAP", e);
    const std::uint32_t caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING))
        return Fail(strError, "not a streaming capture device", ENOTSUP);
    // A driver made by hand (tests, an older caller) may know the camera by its card alone.
    if (Identity(m_api, m_strPath, cap) != m_strIdentity &&
        Text(cap.card, sizeof cap.card) != m_strIdentity)
        return Fail(strError, "another camera is at this node now", ENODEV);
    if (!StartStreaming(strError))
        return false;
    // The controls chosen for this camera, as far as it still takes them.
    for (auto it = m_chosenControls.begin(); it != m_chosenControls.end();)
    {
        v4l2_control v{};
        v.id = it->first;
        v.value = it->second;
        if (Xioctl(m_api, m_fd, VIDIOC_S_CTRL, &v) == ENODEV)
            return Lost(strError, ENODEV);
        ++it;
    }
    return true;
}

bool CV4l2Driver::SizeOffered(std::uint32_t nPixelFormat, int w, int h) const
{
    for (std::uint32_t i = 0; i < 256; ++i)
    {
        v4l2_frmsizeenum e{};
        e.index = i;
        e.pixel_format = nPixelFormat;
        if (Xioctl(m_api, m_fd, VIDIOC_ENUM_FRAMESIZES, &e) != 0)
            return i == 0; // a driver that lists no sizes takes what it is given
        if (e.type == V4L2_FRMSIZE_TYPE_DISCRETE)
        {
            if (int(e.discrete.width) == w && int(e.discrete.height) == h)
                return true;
            continue;
        }
        const auto& sw = e.stepwise;
        const auto fits = [](int n, std::uint32_t nMin, std::uint32_t nMax, std::uint32_t nStep)
        {
            return n >= int(nMin) && n <= int(nMax) &&
                   (nStep <= 1 || (std::uint32_t(n) - nMin) % nStep == 0);
        };
        return fits(w, sw.min_width, sw.max_width, sw.step_width) &&
               fits(h, sw.min_height, sw.max_height, sw.step_height);
    }
    return false;
}

v4l2_fract CV4l2Driver::FastestInterval(std::uint32_t nPixelFormat, int w, int h) const
{
    v4l2_fract best{0, 0};
    const auto faster = [&best](const v4l2_fract& f)
    {
        // a/b < c/d, for a time per frame: more frames a second
        return f.denominator != 0 && f.numerator != 0 &&
               (best.denominator == 0 || std::uint64_t(f.numerator) * best.denominator <
                                             std::uint64_t(best.numerator) * f.denominator);
    };
    for (std::uint32_t i = 0; i < 64; ++i)
    {
        v4l2_frmivalenum e{};
        e.index = i;
        e.pixel_format = nPixelFormat;
        e.width = std::uint32_t(w);
        e.height = std::uint32_t(h);
        if (Xioctl(m_api, m_fd, VIDIOC_ENUM_FRAMEINTERVALS, &e) != 0)
            break;
        const v4l2_fract f = e.type == V4L2_FRMIVAL_TYPE_DISCRETE ? e.discrete : e.stepwise.min;
        if (faster(f))
            best = f;
        if (e.type != V4L2_FRMIVAL_TYPE_DISCRETE)
            break;
    }
    return best;
}

std::vector<v4l2_fmtdesc> CV4l2Driver::ConvertibleFormats() const
{
    std::vector<v4l2_fmtdesc> formats;
    for (std::uint32_t i = 0; i < 64; ++i)
    {
        v4l2_fmtdesc d{};
        d.index = i;
        d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Xioctl(m_api, m_fd, VIDIOC_ENUM_FMT, &d) != 0)
            break;
        // A format a library makes up from another is no format of the camera's: taking it
        // would have every frame converted whether it is served or not.
        if (CFrameConverter::Handles(d.pixelformat) && !(d.flags & V4L2_FMT_FLAG_EMULATED))
            formats.push_back(d);
    }
    return formats;
}

CV4l2Driver::CNative CV4l2Driver::ChooseNative(int w, int h, std::uint32_t nPrefer) const
{
    // The format that reaches the highest frame rate at this size (MJPEG at HD sizes on a
    // USB 2 camera, where raw frames do not fit the bus); at equal rates an uncompressed one,
    // which costs less to convert and loses nothing.
    CNative best;
    double fBest = -1;
    for (const v4l2_fmtdesc& d : ConvertibleFormats())
    {
        if (!SizeOffered(d.pixelformat, w, h))
            continue;
        const v4l2_fract f = FastestInterval(d.pixelformat, w, h);
        const double fFps = f.numerator != 0 ? double(f.denominator) / f.numerator : 0;
        const CNative here{d.pixelformat, f, (d.flags & V4L2_FMT_FLAG_COMPRESSED) != 0};
        if (d.pixelformat == nPrefer)
            return here;
        if (fFps > fBest + 0.01 || (fFps > fBest - 0.01 && best.bCompressed && !here.bCompressed))
        {
            best = here;
            fBest = fFps;
        }
    }
    return best;
}

bool CV4l2Driver::StartStreaming(std::string& strError)
{
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (int e = Xioctl(m_api, m_fd, VIDIOC_G_FMT, &fmt))
        return Fail(strError, "VIDIOC_G_FMT", e);
    const int w = m_nWantWidth > 0 ? m_nWantWidth : int(fmt.fmt.pix.width);
    const int h = m_nWantWidth > 0 ? m_nWantHeight : int(fmt.fmt.pix.height);
    // Frames are taken in the camera's own format and converted only when one is served:
    // frames dropped or passed over cost nothing.
    const CNative native = ChooseNative(w, h, m_nWantPixelFormat);
    fmt.fmt.pix.width = std::uint32_t(w);
    fmt.fmt.pix.height = std::uint32_t(h);
    if (native.nPixelFormat != 0)
        fmt.fmt.pix.pixelformat = native.nPixelFormat;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (int e = Xioctl(m_api, m_fd, VIDIOC_S_FMT, &fmt))
        return Fail(strError, "VIDIOC_S_FMT", e);
    if (!CFrameConverter::Handles(fmt.fmt.pix.pixelformat) || fmt.fmt.pix.width == 0 ||
        fmt.fmt.pix.height == 0 || fmt.fmt.pix.width > 16384 || fmt.fmt.pix.height > 16384)
        return Fail(strError, "VIDIOC_S_FMT gave no format that can be converted", EINVAL);
    m_fmt = fmt;
    m_nWidth = int(fmt.fmt.pix.width);
    m_nHeight = int(fmt.fmt.pix.height);
    m_bCompressed = fmt.fmt.pix.pixelformat == V4L2_PIX_FMT_MJPEG ||
                    fmt.fmt.pix.pixelformat == V4L2_PIX_FMT_JPEG;

    // The frame rate: the fastest at this size, and the period it gives, for telling a fresh
    // frame from one that waited in the queue.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (native.interval.denominator != 0)
    {
        parm.parm.capture.timeperframe = native.interval;
        Xioctl(m_api, m_fd, VIDIOC_S_PARM, &parm);
    }
    m_nPeriodNs = kDefaultPeriodNs;
    if (Xioctl(m_api, m_fd, VIDIOC_G_PARM, &parm) == 0 &&
        parm.parm.capture.timeperframe.denominator != 0 &&
        parm.parm.capture.timeperframe.numerator != 0)
        m_nPeriodNs = std::min<std::int64_t>(
            std::int64_t(parm.parm.capture.timeperframe.numerator) * 1000000000 /
                std::int64_t(parm.parm.capture.timeperframe.denominator),
            kDefaultPeriodNs * 10);

    v4l2_requestbuffers req{};
    req.count = kBufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (int e = Xioctl(m_api, m_fd, VIDIOC_REQBUFS, &req))
        return Fail(strError, "VIDIOC_REQBUFS", e);
    if (req.count < 1)
        return Fail(strError, "VIDIOC_REQBUFS gave no buffers", ENOMEM);
    for (std::uint32_t i = 0; i < req.count; ++i)
    {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (int e = Xioctl(m_api, m_fd, VIDIOC_QUERYBUF, &buf))
            return Fail(strError, "VIDIOC_QUERYBUF", e);
        void* p = m_api.mmap(buf.length, m_fd, off_t(buf.m.offset));
        if (p == MAP_FAILED || p == nullptr)
            return Fail(strError, "mmap", errno);
        m_buffers.push_back({p, buf.length});
        if (int e = Xioctl(m_api, m_fd, VIDIOC_QBUF, &buf))
            return Fail(strError, "VIDIOC_QBUF", e);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (int e = Xioctl(m_api, m_fd, VIDIOC_STREAMON, &type))
        return Fail(strError, "VIDIOC_STREAMON", e);
    m_bStreaming = true;
    m_nToSkip = kSkipFirstFrames;
    return true;
}

bool CV4l2Driver::RestartStream(std::string& strError)
{
    if (m_fd < 0 || !m_bStreaming)
        return false;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    // Stopping the stream takes every buffer back from the camera; each goes back in queued.
    if (int e = Xioctl(m_api, m_fd, VIDIOC_STREAMOFF, &type))
        return e == ENODEV ? Lost(strError, e) : Fail(strError, "VIDIOC_STREAMOFF", e);
    m_bStreaming = false;
    m_last = {};
    for (std::uint32_t i = 0; i < m_buffers.size(); ++i)
    {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (int e = Xioctl(m_api, m_fd, VIDIOC_QBUF, &buf))
            return e == ENODEV ? Lost(strError, e) : Fail(strError, "VIDIOC_QBUF", e);
    }
    if (int e = Xioctl(m_api, m_fd, VIDIOC_STREAMON, &type))
        return e == ENODEV ? Lost(strError, e) : Fail(strError, "VIDIOC_STREAMON", e);
    m_bStreaming = true;
    m_nToSkip = kSkipFirstFrames;
    return true;
}

void CV4l2Driver::Close()
{
    m_last = {};
    m_converter.Forget();
    if (m_fd >= 0 && m_bStreaming)
    {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        Xioctl(m_api, m_fd, VIDIOC_STREAMOFF, &type);
    }
    m_bStreaming = false;
    for (const Buffer& b : m_buffers)
        m_api.munmap(b.p, b.nLength);
    m_buffers.clear();
    if (m_fd >= 0)
    {
        // Releasing the buffers lets the device be opened again with another format.
        v4l2_requestbuffers req{};
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        Xioctl(m_api, m_fd, VIDIOC_REQBUFS, &req);
        m_api.close(m_fd);
    }
    m_fd = -1;
}

bool CV4l2Driver::Lost(std::string& strError, int nErrno)
{
    // Unplugged: let go of the descriptor and the mappings now, so that nothing holds the
    // device node and nothing stale is ever served.
    strError = m_strPath + ": the camera has gone (" + std::strerror(nErrno) + ")";
    Close();
    return false;
}

bool CV4l2Driver::Usable(const v4l2_buffer& buf) const
{
    // A compressed frame has its own length; a raw one is whole or cut short.
    const std::size_t nNeed = m_bCompressed ? 1 : m_fmt.fmt.pix.sizeimage;
    return (buf.flags & V4L2_BUF_FLAG_ERROR) == 0 && buf.bytesused >= nNeed &&
           buf.bytesused <= m_buffers[buf.index].nLength;
}

int CV4l2Driver::TakeNewest(v4l2_buffer& got, bool& bHave)
{
    for (;;)
    {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        const int e = Xioctl(m_api, m_fd, VIDIOC_DQBUF, &buf);
        if (e == EAGAIN)
            return 0;
        if (e != 0)
            return e;
        if (buf.index >= m_buffers.size())
            return EIO;
        const bool bWarmingUp = m_nToSkip > 0;
        if (bWarmingUp)
            --m_nToSkip;
        if (bWarmingUp || !Usable(buf))
        {
            if (int q = Xioctl(m_api, m_fd, VIDIOC_QBUF, &buf))
                return q;
            continue;
        }
        if (bHave)
            if (int q = Xioctl(m_api, m_fd, VIDIOC_QBUF, &got))
                return q;
        got = buf;
        bHave = true;
    }
}

CCaptureDriver::Readiness CV4l2Driver::TakeFresh(CFrameBuffer& frame, std::string& strError,
                                                 std::int64_t nRequestNs, bool bAnyIsFresh)
{
    v4l2_buffer got{};
    bool bHave = false;
    if (int e = TakeNewest(got, bHave))
    {
        if (bHave)
            Xioctl(m_api, m_fd, VIDIOC_QBUF, &got);
        // vb2 answers EIO once the driver has marked the queue broken (unplugged).
        if (e == ENODEV || e == EIO)
            Lost(strError, e);
        else
            strError = m_strPath + ": VIDIOC_DQBUF: " + std::strerror(e);
        return Readiness::Failed;
    }
    if (bHave)
    {
        const bool bMonotonic =
            (got.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        const std::int64_t nTakenNs = std::int64_t(got.timestamp.tv_sec) * 1000000000 +
                                      std::int64_t(got.timestamp.tv_usec) * 1000;
        if (bAnyIsFresh || (bMonotonic && nTakenNs >= nRequestNs - m_nPeriodNs))
        {
            // A frame that does not decode (a corrupt JPEG) is passed over like a broken one.
            if (!Deliver(got, frame, strError))
                return IsOpen() ? Readiness::NotYet : Readiness::Failed;
            m_last = {&frame, frame.Generation(), bMonotonic ? nTakenNs : m_api.monotonicNs()};
            return Readiness::Grabbed;
        }
        Xioctl(m_api, m_fd, VIDIOC_QBUF, &got);
    }
    // Requests that come together share one fresh frame: the one this buffer already holds
    // was taken at most a period before this request.
    if (!bAnyIsFresh && m_last.pFrame == &frame && m_last.nGeneration == frame.Generation() &&
        m_last.nTakenNs >= nRequestNs - m_nPeriodNs)
        return Readiness::Grabbed;
    // Every buffer has gone back to the camera: what it fills from now on is new.
    return Readiness::NotYet;
}

CCaptureDriver::Readiness CV4l2Driver::GrabIfFresh(CFrameBuffer& frame, std::string& strError)
{
    if (m_fd < 0)
    {
        strError = m_strPath + ": the camera is not connected";
        return Readiness::Failed;
    }
    return TakeFresh(frame, strError, m_api.monotonicNs(), false);
}

bool CV4l2Driver::Grab(CFrameBuffer& frame, std::string& strError)
{
    if (m_fd < 0)
    {
        strError = m_strPath + ": the camera is not connected";
        return false;
    }
    // The newest frame there is: after a wait began, every frame is fresh.
    const Readiness r = TakeFresh(frame, strError, m_api.monotonicNs(), true);
    if (r == Readiness::NotYet)
        strError = m_strPath + ": no frame was ready";
    return r == Readiness::Grabbed;
}

bool CV4l2Driver::Deliver(v4l2_buffer& got, CFrameBuffer& frame, std::string& strError)
{
    bool bOk = true;
    if (frame.Width() != m_nWidth || frame.Height() != m_nHeight)
        bOk = frame.Resize(m_nWidth, m_nHeight);
    if (!bOk)
        strError = m_strPath + ": no memory for a frame";
    if (bOk)
    {
        const std::size_t nDst = std::size_t(m_nWidth) * std::size_t(m_nHeight) * 3;
        std::string why;
        bOk = m_converter.Convert(m_fd, m_fmt,
                                  static_cast<const std::uint8_t*>(m_buffers[got.index].p),
                                  got.bytesused, frame.Data(), nDst, why);
        if (!bOk)
            strError = m_strPath + ": a frame could not be decoded (" + why + ")";
    }
    if (int e = Xioctl(m_api, m_fd, VIDIOC_QBUF, &got))
        return e == ENODEV ? Lost(strError, e) : bOk;
    return bOk;
}

std::vector<CCaptureControl> CV4l2Driver::Controls()
{
    std::vector<CCaptureControl> controls;
    if (m_fd < 0)
        return controls;
    v4l2_queryctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (Xioctl(m_api, m_fd, VIDIOC_QUERYCTRL, &q) == 0 && controls.size() < 256)
    {
        const std::uint32_t nId = q.id;
        q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
        if (q.flags & V4L2_CTRL_FLAG_DISABLED)
            continue;
        CCaptureControl c;
        c.nId = nId;
        c.strName = Text(q.name, sizeof q.name);
        c.nMin = q.minimum;
        c.nMax = q.maximum;
        c.nStep = std::max(1, q.step);
        c.nDefault = q.default_value;
        switch (q.type)
        {
        case V4L2_CTRL_TYPE_INTEGER:
            c.kind = CCaptureControl::Integer;
            break;
        case V4L2_CTRL_TYPE_BOOLEAN:
            c.kind = CCaptureControl::Boolean;
            break;
        case V4L2_CTRL_TYPE_MENU:
        case V4L2_CTRL_TYPE_INTEGER_MENU:
            c.kind = CCaptureControl::Menu;
            for (std::int32_t i = q.minimum; i <= q.maximum && c.menu.size() < 64; ++i)
            {
                v4l2_querymenu m{};
                m.id = nId;
                m.index = std::uint32_t(i);
                if (Xioctl(m_api, m_fd, VIDIOC_QUERYMENU, &m) == 0)
                    c.menu.emplace_back(i, q.type == V4L2_CTRL_TYPE_MENU
                                               ? Text(m.name, sizeof m.name)
                                               : std::to_string(m.value));
            }
            break;
        case V4L2_CTRL_TYPE_BUTTON:
            c.kind = CCaptureControl::Button;
            break;
        default:
            continue; // classes, strings and 64-bit values have no place in the dialog
        }
        if (c.kind != CCaptureControl::Button)
        {
            v4l2_control v{};
            v.id = nId;
            c.nValue = Xioctl(m_api, m_fd, VIDIOC_G_CTRL, &v) == 0 ? v.value : c.nDefault;
        }
        controls.push_back(std::move(c));
    }
    return controls;
}

bool CV4l2Driver::SetControl(std::uint32_t nId, std::int32_t nValue, std::string& strError)
{
    if (m_fd < 0)
    {
        strError = m_strPath + ": the camera is not connected";
        return false;
    }
    v4l2_control v{};
    v.id = nId;
    v.value = nValue;
    if (int e = Xioctl(m_api, m_fd, VIDIOC_S_CTRL, &v))
    {
        strError = m_strPath + ": VIDIOC_S_CTRL: " + std::strerror(e);
        return false;
    }
    m_chosenControls[nId] = nValue;
    return true;
}

std::string CV4l2Driver::FormatLabel(const CNative& native)
{
    std::string label = FourCc(native.nPixelFormat);
    if (native.interval.numerator != 0)
    {
        const double fFps = double(native.interval.denominator) / native.interval.numerator;
        char text[32];
        std::snprintf(text, sizeof text, ", %g fps", std::round(fFps * 100) / 100);
        label += text;
    }
    return label;
}

std::vector<CCaptureFormat> CV4l2Driver::Formats()
{
    // Every size the camera has in a format we can take, each with the format and rate it
    // would get.
    std::vector<CCaptureFormat> formats;
    if (m_fd < 0)
        return formats;
    std::vector<std::pair<int, int>> sizes;
    for (const v4l2_fmtdesc& d : ConvertibleFormats())
    {
        for (std::uint32_t j = 0; j < 64; ++j)
        {
            v4l2_frmsizeenum e{};
            e.index = j;
            e.pixel_format = d.pixelformat;
            if (Xioctl(m_api, m_fd, VIDIOC_ENUM_FRAMESIZES, &e) != 0)
                break;
            const std::pair<int, int> size =
                e.type == V4L2_FRMSIZE_TYPE_DISCRETE
                    ? std::pair{int(e.discrete.width), int(e.discrete.height)}
                    : std::pair{int(e.stepwise.max_width), int(e.stepwise.max_height)};
            if (std::find(sizes.begin(), sizes.end(), size) == sizes.end())
                sizes.push_back(size);
            if (e.type != V4L2_FRMSIZE_TYPE_DISCRETE)
                break;
        }
    }
    for (const auto& [w, h] : sizes)
    {
        const CNative native = ChooseNative(w, h, 0);
        if (native.nPixelFormat != 0)
            formats.push_back({w, h, native.nPixelFormat, FormatLabel(native)});
    }
    return formats;
}

CCaptureFormat CV4l2Driver::CurrentFormat() const
{
    v4l2_fract interval{0, 0};
    if (m_nPeriodNs > 0)
        interval = {std::uint32_t(m_nPeriodNs / 1000), 1000000};
    return {m_nWidth, m_nHeight, m_fmt.fmt.pix.pixelformat,
            FormatLabel({m_fmt.fmt.pix.pixelformat, interval, m_bCompressed})};
}

bool CV4l2Driver::SetFormat(const CCaptureFormat& format, std::string& strError)
{
    if (format.nWidth <= 0 || format.nHeight <= 0)
    {
        strError = "invalid size";
        return false;
    }
    // Buffers are sized for one format: stop, reopen and stream again at the new size.
    m_nWantWidth = format.nWidth;
    m_nWantHeight = format.nHeight;
    m_nWantPixelFormat = format.nPixelFormat;
    return Open(strError);
}

CCaptureState CV4l2Driver::ChosenState() const
{
    CCaptureState state;
    state.nWidth = m_nWantWidth;
    state.nHeight = m_nWantHeight;
    state.nPixelFormat = m_nWantPixelFormat;
    state.controls = m_chosenControls;
    return state;
}

void CV4l2Driver::Restore(const CCaptureState& state)
{
    m_nWantWidth = state.nWidth > 0 && state.nHeight > 0 ? state.nWidth : 0;
    m_nWantHeight = m_nWantWidth > 0 ? state.nHeight : 0;
    m_nWantPixelFormat = state.nPixelFormat;
    m_chosenControls = state.controls;
    std::string ignored;
    if (IsOpen())
        Open(ignored);
}
