#pragma once
// A camera played through the V4L2 seam, as a USB camera behaves: its sensor makes a frame
// every period of a clock the test controls, into the oldest queued buffer, or drops it when
// none is queued; buffers come back in order with a monotonic timestamp and a sequence
// number; the first frames after streaming starts are dark; frames can come flagged as
// errors; unplugged, it fails with ENODEV. A wait for a frame moves the clock on by the time
// it would take. Frames come in YUYV or MJPEG; converting one to BGR24 through the seam is
// counted. Controls, sizes, frame rates and refusals as a camera has them.

#include "platform/capture/V4l2Api.h"

#include <cstdint>
#include <deque>
#include <linux/videodev2.h>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CPlayedCamera
{
public:
    struct Device
    {
        Device(std::string strCardName = {}, bool bIsCapture = true)
            : strCard(std::move(strCardName)), bCapture(bIsCapture)
        {
        }
        std::string strCard;
        bool bCapture = true;
        int nOpenErrno = 0;  // non-zero: open fails with it
        bool bBusy = false;  // another program streams from it: formats and buffers are refused
        std::string strById; // its /dev/v4l/by-id name, empty for none
        std::string strBusInfo = "usb-0000:00:14.0-1";
    };

    CPlayedCamera();
    CV4l2Api Api();

    // The camera at strPath is pulled out: its open descriptors fail with ENODEV from now on,
    // while they stay open their node stays taken.
    void Unplug(const std::string& strPath);
    // ... and plugged back in: under its old node when nothing holds that, else under the
    // next free one, as the kernel numbers them. Its new node.
    std::string Replug();

    std::map<std::string, Device> devices;
    bool bUnplugged = false;
    int nWidth = 640;
    int nHeight = 480;
    std::uint32_t nPixelFormat = V4L2_PIX_FMT_YUYV; // the camera's own: YUYV or MJPEG
    int nConversions = 0;                           // frames converted to BGR24 through the seam
    int nOpen = 0;                                  // descriptors open right now
    int nMapped = 0;                                // buffers mapped right now
    std::map<std::uint32_t, std::int32_t> controls;

    // The clock, in nanoseconds; tests move it on to let time pass. With bRealTime it follows
    // CLOCK_MONOTONIC instead and a wait really waits (for benchmarks).
    std::int64_t nNowNs = 1000000000;
    bool bRealTime = false;
    std::int64_t nPeriodNs = 1000000000 / 30;
    int nDarkFrames = 3;      // the first frames after streaming starts are black
    int nErrorFrames = 0;     // the next so many frames come flagged V4L2_BUF_FLAG_ERROR
    int nCorruptFrames = 0;   // ... come whole but do not decode
    std::uint32_t nFrame = 0; // the sensor's last frame: dropped ones count too
    int nDropped = 0;         // frames made while no buffer was queued
    int nDequeued = 0;        // buffers handed back by VIDIOC_DQBUF

    // Lets time pass: the sensor makes the frames due meanwhile.
    void Advance(std::int64_t nNs);

    // The pixel a played frame has at (x, y): blue = frame number, green = x, red = y. Dark
    // frames are all zero.
    static void Pixel(std::uint32_t nFrame, int x, int y, std::uint8_t* pBgr);

private:
    int Ioctl(int fd, unsigned long nRequest, void* pArg);
    // The sensor catches up with the clock.
    void Produce();
    void FollowRealTime();
    // Makes each descriptor readable exactly while it has something to report.
    void Signal();
    int WaitReadable(int nTimeoutMs);
    struct Buffer
    {
        std::vector<std::uint8_t> memory;
        std::int64_t nTimestampNs = 0;
        std::uint32_t nSequence = 0;
        bool bError = false;
        std::size_t nBytesUsed = 0;
    };
    std::vector<Buffer> m_buffers;
    std::deque<std::uint32_t> m_queued; // in the order they were queued
    std::deque<std::uint32_t> m_done;   // filled, in the order they were filled
    bool m_bStreaming = false;
    std::int64_t m_nNextFrameNs = 0;
    int m_nSinceStreamOn = 0;
    int m_nStreamFd = -1;
    std::map<int, bool> m_signalled;
    std::map<int, std::string> m_fdPath;
    std::map<int, bool> m_fdDead;
    std::string m_strUnpluggedPath;
    Device m_unplugged;
    bool Dead(int fd) const;
};
