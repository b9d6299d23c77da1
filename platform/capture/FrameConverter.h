#pragma once
// Turns one frame of a camera's own format into top-down BGR24 rows (width × 3 bytes each):
// MJPEG and JPEG with libjpeg-turbo's decompressor straight to BGR, in one pass; every other
// format with libv4lconvert, which learns the camera through the same seam as the program.
// Every conversion is counted: only the frames that are served or shown should be converted.

#include "platform/capture/V4l2Api.h"

#include <cstddef>
#include <cstdint>
#include <linux/videodev2.h>
#include <string>

struct v4lconvert_data;

class CFrameConverter
{
public:
    // The seam must outlive the converter.
    explicit CFrameConverter(const CV4l2Api& api) : m_api(api) {}
    ~CFrameConverter() { Forget(); }
    CFrameConverter(const CFrameConverter&) = delete;
    CFrameConverter& operator=(const CFrameConverter&) = delete;

    // The formats a camera may be taken in.
    static bool Handles(std::uint32_t nPixelFormat);
    // Converts nSrc bytes of a frame in the format src into pDst (nDst bytes, at least
    // width × height × 3); false, with the reason, for a frame that does not decode whole.
    bool Convert(int fd, const v4l2_format& src, const std::uint8_t* pSrc, std::size_t nSrc,
                 std::uint8_t* pDst, std::size_t nDst, std::string& strWhy);
    // The camera's descriptor is about to close: what was learnt of it goes.
    void Forget();
    std::uint64_t Conversions() const { return m_nConversions; }

private:
    const CV4l2Api& m_api;
    v4lconvert_data* m_pLibrary = nullptr;
    int m_nLibraryFd = -1;
    std::uint64_t m_nConversions = 0;
};
