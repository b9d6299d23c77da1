#include "imaging/JpegStrips.h"

#include <system_error>
#include <thread>

namespace
{
// Where the coded data begins (after the start-of-scan segment) in a JPEG starting at
// nStart, and where its frame header's height lies; false when the markers are not as the
// library writes them.
bool FindScan(const std::vector<std::uint8_t>& b, std::size_t nStart, std::size_t& nData,
              std::size_t& nHeightAt)
{
    if (b.size() < nStart + 4 || b[nStart] != 0xFF || b[nStart + 1] != 0xD8)
        return false;
    std::size_t p = nStart + 2;
    nHeightAt = 0;
    while (p + 4 <= b.size() && b[p] == 0xFF)
    {
        const std::uint8_t marker = b[p + 1];
        const std::size_t nLength = (std::size_t(b[p + 2]) << 8) | b[p + 3];
        if (nLength < 2 || p + 2 + nLength > b.size())
            return false;
        if (marker == 0xC0 && nLength >= 7)
            nHeightAt = p + 5;
        p += 2 + nLength;
        if (marker == 0xDA)
        {
            nData = p;
            return nHeightAt != 0;
        }
    }
    return false;
}

bool EndsWithEoi(const std::vector<std::uint8_t>& b, std::size_t nData)
{
    return b.size() >= nData + 2 && b[b.size() - 2] == 0xFF && b[b.size() - 1] == 0xD9;
}
} // namespace

int CJpegStrips::TopRows(int nHeight)
{
    const int nTop = (nHeight / 2 + kMcuRows - 1) / kMcuRows * kMcuRows;
    return nTop > 0 && nTop < nHeight ? nTop : 0;
}

unsigned CJpegStrips::RestartInterval(int nWidth, int nRows)
{
    return unsigned((nWidth + kMcuRows - 1) / kMcuRows) * unsigned(nRows / kMcuRows);
}

int CJpegStrips::Encode(CJpegWriter& top, CJpegWriter& bottom,
                        std::vector<std::uint8_t>& bottomBytes, const std::uint8_t* pBottomRow,
                        int nWidth, int nHeight, std::vector<std::uint8_t>& out,
                        std::size_t nOffset)
{
    const int nTop = TopRows(nHeight);
    if (nTop == 0 || std::int64_t(nWidth) * nHeight < kMinPixels ||
        RestartInterval(nWidth, nTop) > 0xFFFF) // the marker's field has 16 bits
        return top.Encode(pBottomRow, nWidth, nHeight, out, nOffset);
    // Rows lie bottom-up: the bottom strip's rows come first in memory.
    const std::size_t nStride = (std::size_t(nWidth) * 3 + 3) & ~std::size_t(3);
    int nBottomResult = -1;
    std::thread other;
    try
    {
        other = std::thread(
            [&]
            {
                bottom.SetRestartInterval(0);
                nBottomResult = bottom.Encode(pBottomRow, nWidth, nHeight - nTop, bottomBytes);
            });
    }
    catch (const std::system_error&)
    {
        // No thread to be had (a process limit): the picture is encoded whole.
        return top.Encode(pBottomRow, nWidth, nHeight, out, nOffset);
    }
    top.SetRestartInterval(RestartInterval(nWidth, nTop));
    const int nTopResult =
        top.Encode(pBottomRow + nStride * std::size_t(nHeight - nTop), nWidth, nTop, out, nOffset);
    top.SetRestartInterval(0);
    other.join();
    if (nTopResult != 0 || nBottomResult != 0)
        return -1;
    return Join(out, nOffset, bottomBytes, nHeight) ? 0 : -1;
}

bool CJpegStrips::Join(std::vector<std::uint8_t>& top, std::size_t nOffset,
                       const std::vector<std::uint8_t>& bottom, int nHeight)
{
    std::size_t nTopData = 0;
    std::size_t nHeightAt = 0;
    std::size_t nBottomData = 0;
    std::size_t nUnused = 0;
    if (!FindScan(top, nOffset, nTopData, nHeightAt) || !EndsWithEoi(top, nTopData) ||
        !FindScan(bottom, 0, nBottomData, nUnused) || !EndsWithEoi(bottom, nBottomData))
        return false;
    top[nHeightAt] = std::uint8_t(nHeight >> 8);
    top[nHeightAt + 1] = std::uint8_t(nHeight);
    top.resize(top.size() - 2); // its end-of-image marker
    top.push_back(0xFF);
    top.push_back(0xD0); // restart marker 0
    top.insert(top.end(), bottom.begin() + std::ptrdiff_t(nBottomData), bottom.end());
    return true;
}
