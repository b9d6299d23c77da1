#include "platform/gdi/DibSource.h"

#include "tests/support/BmpBuilder.h"

#include <gtest/gtest.h>

namespace
{
struct CParts
{
    std::vector<BYTE> info;
    std::vector<BYTE> bits;
};

CParts Parts(const std::vector<BYTE>& header, const std::vector<BYTE>& bits)
{
    CParts p{header, bits};
    p.info.resize(p.info.size() + 1024, 0);
    return p;
}

std::vector<COLORREF> Decode(const CDibSource& src)
{
    std::vector<COLORREF> out;
    std::vector<BYTE> scratch(std::size_t(src.Width()) * 3);
    for (int y = 0; y < src.Height(); ++y)
    {
        const BYTE* row = src.Row(y, scratch.data());
        for (int x = 0; x < src.Width(); ++x)
            out.push_back(RGB(row[3 * x + 2], row[3 * x + 1], row[3 * x]));
    }
    return out;
}

// An 8-bit RLE header for a w x h image with a 4-entry palette: black, red, green, blue.
std::vector<BYTE> RleHeader(int w, int h, DWORD nCompression = BI_RLE8)
{
    auto hdr = InfoHeader(w, h, nCompression == BI_RLE8 ? 8 : 4, nCompression, 4);
    for (COLORREF c : {RGB(0, 0, 0), RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255)})
    {
        hdr.push_back(GetBValue(c));
        hdr.push_back(GetGValue(c));
        hdr.push_back(GetRValue(c));
        hdr.push_back(0);
    }
    return hdr;
}
} // namespace

TEST(DibSource, RleAbsoluteRunsDeltasAndEndOfLine)
{
    // Runs over the row's end (encoders run them over the row padding) lose the excess only.
    const std::vector<BYTE> over = {2, 1, 0, 3, 2, 3, 1, 0, 0, 1}; // 1 1 | 2 3 (1 dropped)
    auto p = Parts(RleHeader(4, 1), over);
    auto clipped =
        CDibSource::Interpret(p.info.data(), p.info.size(), p.bits.data(), p.bits.size());
    ASSERT_TRUE(clipped);
    EXPECT_EQ(Decode(*clipped), (std::vector<COLORREF>{RGB(255, 0, 0), RGB(255, 0, 0),
                                                       RGB(0, 255, 0), RGB(0, 0, 255)}));

    const std::vector<BYTE> good = {1, 1, 0, 3,
                                    2, 3, 1, 0, // bottom row: 1 | absolute 2 3 1 (padded)
                                    0, 0,       // end of line
                                    0, 2, 1, 1, // delta to x 1 of the top row
                                    2, 2,       // two pixels of index 2 at x 1, 2 of the top row
                                    0, 1};      // end of bitmap
    auto q = Parts(RleHeader(4, 3), good);
    ASSERT_TRUE(CDibSource::Validate(q.info.data(), q.info.size(), q.bits.data(), q.bits.size()));
    auto src = CDibSource::Interpret(q.info.data(), q.info.size(), q.bits.data(), q.bits.size());
    ASSERT_TRUE(src);
    const COLORREF K = RGB(0, 0, 0), R = RGB(255, 0, 0), G = RGB(0, 255, 0), B = RGB(0, 0, 255);
    const std::vector<COLORREF> expected = {K, G, G, K,  // top row
                                            K, K, K, K,  // middle row, skipped by the delta
                                            R, G, B, R}; // bottom row
    EXPECT_EQ(Decode(*src), expected);
}

TEST(DibSource, RleDataThatLeavesTheImageOrItsBlockIsRefused)
{
    const std::vector<std::vector<BYTE>> bad = {
        {0, 2, 0, 4, 0, 1},       // delta past the top
        {0, 0, 0, 0, 0, 0, 1, 1}, // a pixel after the last row
        {2, 1, 0, 0},             // no end-of-bitmap mark
        {0, 4, 1, 2},             // absolute run cut short
        {0, 2, 1},                // delta cut short
        {4},                      // half a pair
    };
    for (const auto& data : bad)
    {
        auto p = Parts(RleHeader(4, 3), data);
        EXPECT_FALSE(
            CDibSource::Validate(p.info.data(), p.info.size(), p.bits.data(), p.bits.size()));
        EXPECT_FALSE(
            CDibSource::Interpret(p.info.data(), p.info.size(), p.bits.data(), p.bits.size()));
    }
    // RLE4 absolute runs take half a byte a pixel: 3 pixels in 2 bytes, padded to 2.
    const std::vector<BYTE> rle4 = {0, 3, 0x12, 0x30, 1, 0x33, 0, 1};
    auto p = Parts(RleHeader(4, 1, BI_RLE4), rle4);
    auto src = CDibSource::Interpret(p.info.data(), p.info.size(), p.bits.data(), p.bits.size());
    ASSERT_TRUE(src);
    EXPECT_EQ(Decode(*src), (std::vector<COLORREF>{RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255),
                                                   RGB(0, 0, 255)}));
}

TEST(DibSource, HeadersThatCannotBeReadSafelyAreRefused)
{
    const std::vector<BYTE> px(64, 0);
    struct Case
    {
        const char* pszWhy;
        std::vector<BYTE> header;
    };
    auto withSize = [](DWORD n)
    {
        auto h = InfoHeader(2, 2, 24, BI_RGB);
        WriteLE32(h.data(), n);
        return h;
    };
    const std::vector<Case> cases = {
        {"core header", withSize(12)},
        {"header size beyond the block", withSize(5000)},
        {"zero width", InfoHeader(0, 2, 24, BI_RGB)},
        {"negative width", InfoHeader(-2, 2, 24, BI_RGB)},
        {"zero height", InfoHeader(2, 0, 24, BI_RGB)},
        {"height INT_MIN", InfoHeader(2, LONG(0x80000000), 24, BI_RGB)},
        {"width beyond the limit", InfoHeader(70000, 1, 1, BI_RGB)},
        {"bit count 7", InfoHeader(2, 2, 7, BI_RGB)},
        {"RLE8 at 24 bits", InfoHeader(2, 2, 24, BI_RLE8)},
        {"top-down RLE", InfoHeader(2, -2, 8, BI_RLE8)},
        {"bitfields at 24 bits", InfoHeader(2, 2, 24, BI_BITFIELDS)},
        {"JPEG compression", InfoHeader(2, 2, 24, 4)},
        {"colours used 2^31", InfoHeader(2, 2, 8, BI_RGB, 0x80000000u)},
        {"rows beyond the pixels", InfoHeader(2, 30, 24, BI_RGB)},
        {"width x height x bits over 32 bits", InfoHeader(65500, 65500, 32, BI_RGB)},
        {"RLE bomb", InfoHeader(65500, 65500, 8, BI_RLE8)},
    };
    for (const auto& c : cases)
    {
        auto p = Parts(c.header, px);
        EXPECT_FALSE(
            CDibSource::Validate(p.info.data(), p.info.size(), p.bits.data(), p.bits.size()))
            << c.pszWhy;
    }
}

TEST(DibSource, OddBitfieldMasksGiveDefinedColours)
{
    // 32-bit pixels with masks that are zero, all ones, and non-contiguous.
    auto hdr = InfoHeader(1, 1, 32, BI_BITFIELDS);
    for (std::uint32_t m : {0u, 0xFFFFFFFFu, 0x0F0F0000u})
        for (int i = 0; i < 4; ++i)
            hdr.push_back(BYTE(m >> (8 * i)));
    const std::vector<BYTE> px = {0xFF, 0xFF, 0xFF, 0xFF};
    auto p = Parts(hdr, px);
    auto src = CDibSource::Interpret(p.info.data(), p.info.size(), p.bits.data(), p.bits.size());
    ASSERT_TRUE(src);
    EXPECT_EQ(Decode(*src), std::vector<COLORREF>{RGB(0, 255, 255)});

    // A palette index beyond the table draws black.
    auto hdr8 = InfoHeader(2, 1, 8, BI_RGB, 1);
    hdr8.insert(hdr8.end(), {10, 20, 30, 0});
    const std::vector<BYTE> px8 = {0, 200, 0, 0};
    auto q = Parts(hdr8, px8);
    auto src8 = CDibSource::Interpret(q.info.data(), q.info.size(), q.bits.data(), q.bits.size());
    ASSERT_TRUE(src8);
    EXPECT_EQ(Decode(*src8), (std::vector<COLORREF>{RGB(30, 20, 10), RGB(0, 0, 0)}));
}
