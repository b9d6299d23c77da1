#pragma once
// The one seam through which every call to a camera passes: the kernel's interface (open,
// ioctl, mmap, close) on the system, or a played camera in tests. The conversion libraries
// sit above it and reach the camera through it too, so that what a test plays is what they
// meet. Xioctl retries EINTR and returns 0 or the errno.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <linux/videodev2.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct CV4l2Api
{
    // A descriptor that can be watched for readability (a frame done) like a device's.
    std::function<int(const char* pszPath, int nFlags)> open;
    std::function<int(int fd)> close;
    std::function<int(int fd, unsigned long nRequest, void* pArg)> ioctl;
    std::function<void*(std::size_t nLength, int fd, off_t nOffset)> mmap;
    std::function<int(void* p, std::size_t nLength)> munmap;
    // CLOCK_MONOTONIC in nanoseconds: the clock of the buffers' timestamps.
    std::function<std::int64_t()> monotonicNs;
    // The device's name under /dev/v4l/by-id (the same after a replug), empty when none.
    std::function<std::string(const std::string& strPath)> persistentName;
    // The capture device nodes to look at, in order.
    std::function<std::vector<std::string>()> listDevices;

    static CV4l2Api System();
};

int Xioctl(const CV4l2Api& api, int fd, unsigned long nRequest, void* pArg);
const char* V4l2RequestName(unsigned long nRequest);
