#pragma once
// The one seam through which every V4L2 call passes: the system's libv4l2 and libv4lconvert
// functions, or a played camera in tests. Xioctl retries EINTR and returns 0 or the errno.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <linux/videodev2.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct CV4l2Api
{
    std::function<int(const char* pszPath, int nFlags)> open;
    std::function<int(int fd)> close;
    std::function<int(int fd, unsigned long nRequest, void* pArg)> ioctl;
    std::function<void*(std::size_t nLength, int fd, off_t nOffset)> mmap;
    std::function<int(void* p, std::size_t nLength)> munmap;
    // Waits up to nTimeoutMs for the descriptor to become readable: 1 ready, 0 timeout, -1 error
    // (errno set; ENODEV when the device has gone).
    std::function<int(int fd, int nTimeoutMs)> waitReadable;
    // CLOCK_MONOTONIC in nanoseconds: the clock of the buffers' timestamps.
    std::function<std::int64_t()> monotonicNs;
    // The device's name under /dev/v4l/by-id (the same after a replug), empty when none.
    std::function<std::string(const std::string& strPath)> persistentName;
    // Converts one frame of the camera's own format (src) to top-down BGR24 rows of
    // width * 3 bytes in pDst: the bytes written, or -1 (a corrupt frame, say).
    std::function<int(int fd, const v4l2_format& src, const std::uint8_t* pSrc, std::size_t nSrc,
                      std::uint8_t* pDst, std::size_t nDst)>
        convertToBgr;
    // The capture device nodes to look at, in order.
    std::function<std::vector<std::string>()> listDevices;

    static CV4l2Api System();
};

int Xioctl(const CV4l2Api& api, int fd, unsigned long nRequest, void* pArg);
const char* V4l2RequestName(unsigned long nRequest);
