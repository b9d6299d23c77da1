#include "platform/capture/V4l2Driver.h"

#include <cerrno>
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
            const std::string byId = api.persistentName ? api.persistentName(strPath) : "";
            probe.strIdentity = !byId.empty()
                                    ? byId
                                    : Text(cap.bus_info, sizeof cap.bus_info) + " " + probe.strCard;
        }
    }
    api.close(fd);
    return probe;
}

bool CV4l2Driver::Fail(std::string& strError, const char* pszWhat, int nErrno)
{
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
    const std::string byId = m_api.persistentName ? m_api.persistentName(m_strPath) : "";
    const std::string identity = !byId.empty() ? byId
                                               : Text(cap.bus_info, sizeof cap.bus_info) + " " +
                                                     Text(cap.card, sizeof cap.card);
    if (identity != m_strIdentity && Text(cap.card, sizeof cap.card) != m_strIdentity)
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

bool CV4l2Driver::StartStreaming(std::string& strError)
{
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (int e = Xioctl(m_api, m_fd, VIDIOC_G_FMT, &fmt))
        return Fail(strError, "VIDIOC_G_FMT", e);
    if (m_nWantWidth > 0)
    {
        fmt.fmt.pix.width = std::uint32_t(m_nWantWidth);
        fmt.fmt.pix.height = std::uint32_t(m_nWantHeight);
    }
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24; // libv4l2 converts to it
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (int e = Xioctl(m_api, m_fd, VIDIOC_S_FMT, &fmt))
        return Fail(strError, "VIDIOC_S_FMT", e);
    if (fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_BGR24 || fmt.fmt.pix.width == 0 ||
        fmt.fmt.pix.height == 0 || fmt.fmt.pix.width > 16384 || fmt.fmt.pix.height > 16384)
        return Fail(strError, "VIDIOC_S_FMT gave no usable BGR24 format", EINVAL);
    m_nWidth = int(fmt.fmt.pix.width);
    m_nHeight = int(fmt.fmt.pix.height);
    m_nBytesPerLine = std::max<std::uint32_t>(fmt.fmt.pix.bytesperline, fmt.fmt.pix.width * 3);

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
    // The frame period, for telling a fresh frame from one that waited in the queue.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    m_nPeriodNs = kDefaultPeriodNs;
    if (Xioctl(m_api, m_fd, VIDIOC_G_PARM, &parm) == 0 &&
        parm.parm.capture.timeperframe.denominator != 0 &&
        parm.parm.capture.timeperframe.numerator != 0)
        m_nPeriodNs = std::min<std::int64_t>(
            std::int64_t(parm.parm.capture.timeperframe.numerator) * 1000000000 /
                std::int64_t(parm.parm.capture.timeperframe.denominator),
            kDefaultPeriodNs * 10);
    if (int e = Xioctl(m_api, m_fd, VIDIOC_STREAMON, &type))
        return Fail(strError, "VIDIOC_STREAMON", e);
    m_bStreaming = true;
    m_nToSkip = kSkipFirstFrames;
    return true;
}

void CV4l2Driver::Close()
{
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
    const std::size_t nNeed =
        std::size_t(m_nBytesPerLine) * std::size_t(m_nHeight - 1) + std::size_t(m_nWidth) * 3;
    return (buf.flags & V4L2_BUF_FLAG_ERROR) == 0 && buf.bytesused >= nNeed &&
           m_buffers[buf.index].nLength >= nNeed;
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

bool CV4l2Driver::Grab(CFrameBuffer& frame, std::string& strError, int nTimeoutMs)
{
    if (m_fd < 0)
    {
        strError = m_strPath + ": the camera is not connected";
        return false;
    }
    // The camera streams all the time, but with nobody dequeuing it fills its buffers within a
    // few frames and then drops every new one: what waits in the queue may be as old as the
    // pause since the last grab. A grab that may wait takes a frame whose timestamp is at most
    // one frame period before the request, or one that arrives after it; the preview (no
    // wait) takes the newest there is.
    const std::int64_t nRequestNs = m_api.monotonicNs();
    const std::int64_t nDeadlineNs = nRequestNs + std::int64_t(nTimeoutMs) * 1000000;
    const bool bMustBeFresh = nTimeoutMs > 0;
    bool bWaited = false;
    for (;;)
    {
        v4l2_buffer got{};
        bool bHave = false;
        if (int e = TakeNewest(got, bHave))
        {
            if (bHave)
                Xioctl(m_api, m_fd, VIDIOC_QBUF, &got);
            // vb2 answers EIO once the driver has marked the queue broken (unplugged).
            if (e == ENODEV || e == EIO)
                return Lost(strError, e);
            strError = m_strPath + ": VIDIOC_DQBUF: " + std::strerror(e);
            return false;
        }
        if (bHave)
        {
            // Every buffer was queued again before the wait: what comes after it is new.
            const bool bMonotonic =
                (got.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
            const std::int64_t nTakenNs = std::int64_t(got.timestamp.tv_sec) * 1000000000 +
                                          std::int64_t(got.timestamp.tv_usec) * 1000;
            if (!bMustBeFresh || bWaited || (bMonotonic && nTakenNs >= nRequestNs - m_nPeriodNs))
                return Deliver(got, frame, strError);
            Xioctl(m_api, m_fd, VIDIOC_QBUF, &got);
        }
        const std::int64_t nLeftNs = nDeadlineNs - m_api.monotonicNs();
        if (!bMustBeFresh || nLeftNs <= 0)
        {
            strError =
                m_strPath + ": " +
                (bMustBeFresh ? "no new frame arrived within " + std::to_string(nTimeoutMs) + " ms"
                              : std::string("no frame was ready"));
            return false;
        }
        const int nReady = m_api.waitReadable(m_fd, int((nLeftNs + 999999) / 1000000));
        if (nReady < 0)
            return Lost(strError, errno != 0 ? errno : ENODEV);
        bWaited = bWaited || nReady > 0;
    }
}

bool CV4l2Driver::Deliver(v4l2_buffer& got, CFrameBuffer& frame, std::string& strError)
{
    bool bOk = true;
    if (frame.Width() != m_nWidth || frame.Height() != m_nHeight)
        bOk = frame.Resize(m_nWidth, m_nHeight);
    if (bOk)
    {
        const auto* src = static_cast<const std::uint8_t*>(m_buffers[got.index].p);
        for (int y = 0; y < m_nHeight; ++y)
            std::memcpy(frame.Row(y), src + std::size_t(m_nBytesPerLine) * std::size_t(y),
                        std::size_t(m_nWidth) * 3);
    }
    else
    {
        strError = m_strPath + ": no memory for a frame";
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

std::vector<CCaptureFormat> CV4l2Driver::Formats()
{
    std::vector<CCaptureFormat> formats;
    if (m_fd < 0)
        return formats;
    for (std::uint32_t i = 0; i < 64; ++i)
    {
        v4l2_fmtdesc d{};
        d.index = i;
        d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Xioctl(m_api, m_fd, VIDIOC_ENUM_FMT, &d) != 0)
            break;
        const std::string name =
            FourCc(d.pixelformat) + " (" + Text(d.description, sizeof d.description) + ")";
        for (std::uint32_t j = 0; j < 64; ++j)
        {
            v4l2_frmsizeenum s{};
            s.index = j;
            s.pixel_format = d.pixelformat;
            if (Xioctl(m_api, m_fd, VIDIOC_ENUM_FRAMESIZES, &s) != 0)
                break;
            if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE)
                formats.push_back(
                    {int(s.discrete.width), int(s.discrete.height), d.pixelformat, name});
            else
            {
                formats.push_back(
                    {int(s.stepwise.max_width), int(s.stepwise.max_height), d.pixelformat, name});
                break;
            }
        }
    }
    return formats;
}

CCaptureFormat CV4l2Driver::CurrentFormat() const
{
    return {m_nWidth, m_nHeight, 0, "BGR24"};
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
    return Open(strError);
}

CCaptureState CV4l2Driver::ChosenState() const
{
    CCaptureState state;
    state.nWidth = m_nWantWidth;
    state.nHeight = m_nWantHeight;
    state.controls = m_chosenControls;
    return state;
}

void CV4l2Driver::Restore(const CCaptureState& state)
{
    m_nWantWidth = state.nWidth > 0 && state.nHeight > 0 ? state.nWidth : 0;
    m_nWantHeight = m_nWantWidth > 0 ? state.nHeight : 0;
    m_chosenControls = state.controls;
    std::string ignored;
    if (IsOpen())
        Open(ignored);
}
