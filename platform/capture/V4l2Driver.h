#pragma once
// A V4L2 camera through libv4l2, which converts every camera format to BGR24; frames stream
// through memory-mapped buffers. Every failure names the request it failed on; a device that
// disappears while connected fails its grabs and never crashes the program.

#include "platform/capture/CaptureDriver.h"
#include "platform/capture/V4l2Api.h"

#include <vector>

class CV4l2Driver final : public CCaptureDriver
{
public:
    static constexpr int kBufferCount = 4;
    static constexpr int kGrabTimeoutMs = 2000;

    CV4l2Driver(CV4l2Api api, std::string strPath, std::string strCard);
    ~CV4l2Driver() override { Close(); }

    // The card name when strPath is a video-capture device, empty otherwise.
    static std::string ProbeCard(const CV4l2Api& api, const std::string& strPath);

    std::string Description() const override { return m_strCard; }
    bool Open(std::string& strError) override;
    void Close() override;
    bool IsOpen() const override { return m_fd >= 0; }
    int Width() const override { return m_nWidth; }
    int Height() const override { return m_nHeight; }
    bool Grab(CFrameBuffer& frame, std::string& strError, int nTimeoutMs) override;
    CAPDRIVERCAPS Capabilities() const override { return {true, true, false}; }
    std::vector<CCaptureControl> Controls() override;
    bool SetControl(std::uint32_t nId, std::int32_t nValue, std::string& strError) override;
    std::vector<CCaptureFormat> Formats() override;
    CCaptureFormat CurrentFormat() const override;
    bool SetFormat(const CCaptureFormat& format, std::string& strError) override;

private:
    struct Buffer
    {
        void* p = nullptr;
        std::size_t nLength = 0;
    };
    bool Fail(std::string& strError, const char* pszWhat, int nErrno);
    bool StartStreaming(std::string& strError);

    CV4l2Api m_api;
    std::string m_strPath;
    std::string m_strCard;
    int m_fd = -1;
    bool m_bStreaming = false;
    int m_nWidth = 0;
    int m_nHeight = 0;
    std::uint32_t m_nBytesPerLine = 0;
    int m_nWantWidth = 0; // a size chosen in the Format dialog, kept across reconnects
    int m_nWantHeight = 0;
    std::vector<Buffer> m_buffers;
};
