#pragma once
// A camera played on the kernel's side of the V4L2 seam, as uvcvideo behaves: its sensor
// makes a frame every period of a clock the test controls, into the oldest queued buffer, or
// drops it when none is queued; buffers come back in order with a monotonic timestamp and a
// sequence number, EAGAIN when none is done; the first frames after streaming starts are
// dark; frames can come flagged V4L2_BUF_FLAG_ERROR, cut short, or (MJPEG) not decodable;
// unplugged, every call fails with ENODEV; it can stall, making no frame until its stream is
// restarted (or until it is opened again). Frames are real YUYV or Motion-JPEG bytes (without
// Huffman tables, as USB cameras send them), so the real conversion libraries above the seam
// convert them. Only the formats the camera has are listed: nothing emulated.

#include "platform/capture/V4l2Api.h"

#include <cstdint>
#include <deque>
#include <linux/videodev2.h>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QTimer;

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
    ~CPlayedCamera();
    CPlayedCamera(const CPlayedCamera&) = delete;
    CPlayedCamera& operator=(const CPlayedCamera&) = delete;
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
    int nOpen = 0;                                  // descriptors open right now
    int nMapped = 0;                                // buffers mapped right now
    std::map<std::uint32_t, std::int32_t> controls;

    // The clock, in nanoseconds; tests move it on with Advance to let time pass.
    std::int64_t nNowNs = 1000000000;
    std::int64_t nPeriodNs = 1000000000 / 30;
    int nDarkFrames = 3;      // the first frames after streaming starts are black
    int nErrorFrames = 0;     // the next so many frames come flagged V4L2_BUF_FLAG_ERROR
    int nCorruptFrames = 0;   // ... come cut short (YUYV) or do not decode (MJPEG)
    std::uint32_t nFrame = 0; // the sensor's last frame: dropped ones count too
    int nDropped = 0;         // frames made while no buffer was queued
    int nDequeued = 0;        // buffers handed back by VIDIOC_DQBUF
    int nStreamStarts = 0;    // VIDIOC_STREAMON calls
    // Stalled: streaming, no error, and no frame. 1: a restart of the stream brings it back;
    // 2: only closing and opening it again does.
    bool bStalled = false;
    int nStallCure = 1;

    // Lets time pass: the sensor makes the frames due meanwhile.
    void Advance(std::int64_t nNs);
    // From now on the clock is CLOCK_MONOTONIC and frames come by themselves on the event
    // loop (for benchmarks).
    void RunInRealTime();

    // What a played frame shows: its number in a row of black and white blocks across the top
    // quarter, below that blue 128, green rising with x and red with y. Dark frames are black.
    static void Picture(std::uint32_t nFrame, int nWidth, int nHeight, std::uint8_t* pBgr);
    // The number a picture of that kind shows (the low 16 bits), read from top-down BGR rows
    // of nStride bytes; -1 when it shows none (a dark frame, the stand-by picture).
    static int FrameNumberOf(const std::uint8_t* pBgr, int nWidth, int nHeight, int nStride);
    // Whether the pixel at (x, y), below the number, is the one the picture has there, as
    // near as a conversion from YUYV or JPEG keeps it.
    static bool LooksRight(const std::uint8_t* pBgr, int nWidth, int nHeight, int nStride, int x,
                           int y);
    // The bytes the camera sends for frame nFrame in a format (YUYV or MJPEG).
    static std::vector<std::uint8_t> FrameBytes(std::uint32_t nFrame, std::uint32_t nFormat,
                                                int nWidth, int nHeight);

private:
    int Ioctl(int fd, unsigned long nRequest, void* pArg);
    // The sensor catches up with the clock.
    void Produce();
    void FollowRealTime();
    void ScheduleNextFrame();
    // Makes each descriptor readable exactly while it has something to report.
    void Signal();
    void Fill(std::uint32_t nBuffer, std::uint32_t nMark);
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
    bool m_bRealTime = false;
    std::unique_ptr<QTimer> m_pClock;
    std::vector<std::uint8_t> m_picture; // scratch: one frame's BGR
    bool Dead(int fd) const;
};
