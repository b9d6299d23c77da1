#pragma once
// One captured frame: width × height pixels of blue, green, red, top row first, rows packed.

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/uio.h>
#include <vector>

class CFrameBuffer
{
public:
    bool Resize(int nWidth, int nHeight);
    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    bool IsEmpty() const { return m_nWidth == 0 || m_nHeight == 0; }
    std::uint8_t* Row(int y)
    {
        Touch();
        return m_pixels.data() + std::size_t(y) * std::size_t(m_nWidth) * 3;
    }
    const std::uint8_t* Row(int y) const
    {
        return m_pixels.data() + std::size_t(y) * std::size_t(m_nWidth) * 3;
    }
    std::uint8_t* Data()
    {
        Touch();
        return m_pixels.data();
    }
    // Changes whenever the pixels may have been written (any writable access), and is never
    // the same for two different states of any buffers: a source that remembers the value after
    // drawing can tell that what it drew is still there.
    std::uint64_t Generation() const { return m_nGeneration; }
    const std::uint8_t* Data() const { return m_pixels.data(); }

    // The frame as a BMP file image: 14-byte file header, 40-byte info header, 24-bit rows
    // bottom-up, each padded to a multiple of 4 bytes.
    std::vector<std::uint8_t> DibFileBytes() const;
    // The same into a buffer that is reused from call to call.
    void DibFileBytes(std::vector<std::uint8_t>& bytes) const;
    // Writes the BMP file over the one there was, in place, and cuts it to length; a save that
    // fails removes the file, so no half-written file stays under the name (a reader at the
    // very moment of the write may still see it half old, half new).
    bool SaveDib(const std::string& strPath, std::string* pError = nullptr) const;

private:
    void Touch() { m_nGeneration = s_nGenerations.fetch_add(1, std::memory_order_relaxed) + 1; }

    static std::atomic<std::uint64_t> s_nGenerations;
    std::uint64_t m_nGeneration = 0;
    int m_nWidth = 0;
    int m_nHeight = 0;
    std::vector<std::uint8_t> m_pixels;
    mutable std::vector<iovec> m_pieces; // what a save writes, kept from save to save
};
