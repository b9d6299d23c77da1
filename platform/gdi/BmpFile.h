#pragma once
// The BMP files Vistrel writes: their headers are made here and nowhere else.

#include "platform/gdi/GdiTypes.h"

#include <cstddef>
#include <string>
#include <sys/uio.h>
#include <vector>

class CBmpFile
{
public:
    static constexpr std::size_t kFileHeaderSize = 14;
    static constexpr std::size_t kInfoHeaderSize = 40;
    static constexpr std::size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;

    // Bytes between two rows of a 24-bit picture: 3 × width raised to a multiple of 4.
    static std::size_t Stride(int nWidth)
    {
        return (std::size_t(nWidth) * 3 + 3) & ~std::size_t(3);
    }
    // The 14-byte file header.
    static void FileHeader(BYTE* p, DWORD nFileSize, DWORD nPixelOffset);
    // The 40-byte info header of a 24-bit picture, rows bottom-up for a positive height and
    // top-down for a negative one; nImageSize is written as it is (0 is allowed for BI_RGB).
    static void InfoHeader24(BYTE* p, LONG nWidth, LONG nHeight, DWORD nImageSize);
    // Both headers of a 24-bit file of bottom-up rows, its image size given.
    static void Headers24(BYTE* p, LONG nWidth, LONG nHeight, DWORD nImageSize);

    // Writes a 24-bit BMP file of a picture whose rows (width × 3 bytes of blue, green, red)
    // start at pTopRow, nRowStep bytes apart: headers and rows in one gathered write, bottom
    // row first, each followed by the padding the format wants. The file there was is written
    // over in place and cut to length (replacing it makes the file system flush it at once,
    // which costs more than the whole picture takes to build); a write that fails removes the
    // file, so no half-written one stays under the name. The file is never written through a
    // link. pieces is scratch kept by the caller from call to call.
    static bool Write(const std::string& strPath, int nWidth, int nHeight, const BYTE* pTopRow,
                      std::size_t nRowStep, std::vector<iovec>& pieces, std::string* pError);
};
