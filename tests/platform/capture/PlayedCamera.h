#pragma once
// A camera played through the V4L2 seam: the ioctls a capture driver uses, answered from
// memory, with frames that number themselves, controls, sizes, refusal and unplugging.

#include "platform/capture/V4l2Api.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CPlayedCamera
{
public:
    struct Device
    {
        std::string strCard;
        bool bCapture = true;
        int nOpenErrno = 0; // non-zero: open fails with it
    };

    CPlayedCamera();
    CV4l2Api Api();

    std::map<std::string, Device> devices;
    bool bUnplugged = false;
    int nWidth = 640;
    int nHeight = 480;
    std::uint32_t nFrame = 0;
    int nOpen = 0;   // descriptors open right now
    int nMapped = 0; // buffers mapped right now
    std::map<std::uint32_t, std::int32_t> controls;

    // The pixel a played frame has at (x, y): blue = frame number, green = x, red = y.
    static void Pixel(std::uint32_t nFrame, int x, int y, std::uint8_t* pBgr);

private:
    int Ioctl(int fd, unsigned long nRequest, void* pArg);
    struct Buffer
    {
        std::vector<std::uint8_t> memory;
        bool bQueued = false;
    };
    std::vector<Buffer> m_buffers;
    bool m_bStreaming = false;
    bool m_bGaveFrame = false;
    int m_nNextFd = 100;
    std::map<int, std::string> m_fdPath;
};
