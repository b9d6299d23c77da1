#pragma once
// A V4L2 camera, driven through the kernel's interface: frames stream in the camera's own
// format (the one that reaches its best frame rate at the chosen size) through memory-mapped
// buffers, and only the frame that is served (or shown) is converted to BGR24. Every failure
// names the request it failed on; a camera that is unplugged is let go at once and found
// again, under any node, when it is back.

#include "platform/capture/CaptureDriver.h"
#include "platform/capture/FrameConverter.h"
#include "platform/capture/V4l2Api.h"

#include <linux/videodev2.h>
#include <map>
#include <vector>

class CV4l2Driver final : public CCaptureDriver
{
public:
    static constexpr int kBufferCount = 4;
    // The first frames after streaming starts are often dark or half drawn while the camera
    // settles its exposure: a fixed count is skipped, which is a fifth of a second at 30
    // frames a second and never holds up a slow camera for long.
    static constexpr int kSkipFirstFrames = 6;
    // When the camera does not say its frame period.
    static constexpr std::int64_t kDefaultPeriodNs = 100000000;

    CV4l2Driver(CV4l2Api api, std::string strPath, std::string strCard,
                std::string strIdentity = {});
    ~CV4l2Driver() override { Close(); }

    struct CProbe
    {
        std::string strCard;     // empty when strPath is no video-capture device
        std::string strIdentity; // see Identity
    };
    static CProbe Probe(const CV4l2Api& api, const std::string& strPath);
    // Who the camera at strPath is: its /dev/v4l/by-id name, else its bus and card name (its
    // node in place of a card name it does not give).
    static std::string Identity(const CV4l2Api& api, const std::string& strPath,
                                const v4l2_capability& cap);

    std::string Description() const override { return m_strCard; }
    std::string Identity() const override { return m_strIdentity; }
    // When the camera took the frame last delivered (CLOCK_MONOTONIC), 0 before the first.
    std::int64_t LastFrameTakenNs() const { return m_last.nTakenNs; }
    // The node the camera was last found under.
    const std::string& Path() const { return m_strPath; }
    bool Open(std::string& strError) override;
    bool WasBusy() const override { return m_bWasBusy; }
    void Close() override;
    bool IsOpen() const override { return m_fd >= 0; }
    int Width() const override { return m_nWidth; }
    int Height() const override { return m_nHeight; }
    bool Grab(CFrameBuffer& frame, std::string& strError) override;
    int Descriptor() const override { return m_fd; }
    Readiness GrabIfFresh(CFrameBuffer& frame, std::string& strError) override;
    bool RestartStream(std::string& strError) override;
    std::uint64_t Conversions() const override { return m_converter.Conversions(); }
    CAPDRIVERCAPS Capabilities() const override { return {true, true, false}; }
    std::vector<CCaptureControl> Controls() override;
    bool SetControl(std::uint32_t nId, std::int32_t nValue, std::string& strError) override;
    std::vector<CCaptureFormat> Formats() override;
    CCaptureFormat CurrentFormat() const override;
    bool SetFormat(const CCaptureFormat& format, std::string& strError) override;
    CCaptureState ChosenState() const override;
    void Restore(const CCaptureState& state) override;

private:
    struct Buffer
    {
        void* p = nullptr;
        std::size_t nLength = 0;
    };
    bool Fail(std::string& strError, const char* pszWhat, int nErrno);
    bool OpenNode(std::string& strError);
    // The node that has this camera now (it comes back under another after a replug while
    // the old one was held), or empty.
    std::string FindNode() const;
    bool StartStreaming(std::string& strError);
    // The camera's own format chosen for a size: its fourcc (0 when none can be taken) and
    // the shortest time per frame it has there.
    struct CNative
    {
        std::uint32_t nPixelFormat = 0;
        v4l2_fract interval{0, 0};
        bool bCompressed = false;
    };
    CNative ChooseNative(int w, int h, std::uint32_t nPrefer) const;
    bool SizeOffered(std::uint32_t nPixelFormat, int w, int h) const;
    v4l2_fract FastestInterval(std::uint32_t nPixelFormat, int w, int h) const;
    // The camera's own formats that can be converted, in its order.
    std::vector<v4l2_fmtdesc> ConvertibleFormats() const;
    static std::string FormatLabel(const CNative& native);
    // The camera has gone: everything is released at once.
    bool Lost(std::string& strError, int nErrno);
    bool Usable(const v4l2_buffer& buf) const;
    // Dequeues every finished buffer; the newest usable one is kept in got, the others go
    // back to the camera. 0, or the errno of the request that failed.
    int TakeNewest(v4l2_buffer& got, bool& bHave);
    // One pass without waiting: Grabbed when a frame taken no earlier than a period before
    // nRequestNs (or, with bAnyIsFresh, any frame) was delivered.
    Readiness TakeFresh(CFrameBuffer& frame, std::string& strError, std::int64_t nRequestNs,
                        bool bAnyIsFresh);
    // Copies the buffer into the frame and gives it back to the camera.
    bool Deliver(v4l2_buffer& got, CFrameBuffer& frame, std::string& strError);

    CV4l2Api m_api;
    CFrameConverter m_converter{m_api};
    std::string m_strPath;
    std::string m_strCard;
    std::string m_strIdentity;
    std::map<std::uint32_t, std::int32_t> m_chosenControls; // put back on every Open
    int m_fd = -1;
    bool m_bStreaming = false;
    bool m_bWasBusy = false;
    int m_nWidth = 0;
    int m_nHeight = 0;
    v4l2_format m_fmt{}; // the camera's own format, as set
    bool m_bCompressed = false;
    int m_nWantWidth = 0; // a size chosen in the Format dialog, kept across reconnects
    int m_nWantHeight = 0;
    std::uint32_t m_nWantPixelFormat = 0;
    std::vector<Buffer> m_buffers;
    std::int64_t m_nPeriodNs = kDefaultPeriodNs;
    int m_nToSkip = 0; // frames still to skip after the start of streaming
    // The last frame delivered: into which buffer, what that buffer was then, and when the
    // camera took it.
    struct CLastFrame
    {
        const CFrameBuffer* pFrame = nullptr;
        std::uint64_t nGeneration = 0;
        std::int64_t nTakenNs = 0;
    };
    CLastFrame m_last;
};
