#include "platform/gdi/MemoryDC.h"

#include "tests/support/BmpBuilder.h"

#include <gtest/gtest.h>

namespace
{
COLORREF PixelAt(const CDibSection& s, int x, int y)
{
    const BYTE* p = s.RowFromTop(y) + 3 * x;
    return RGB(p[2], p[1], p[0]);
}

// The header area and pixels of an in-memory 24-bit bottom-up DIB of the picture.
struct CRawDib
{
    std::vector<BYTE> info;
    std::vector<BYTE> bits;
    explicit CRawDib(const CTestPicture& pic, const CBmpOptions& opt = {})
    {
        const auto file = MakeBmp(pic, opt);
        const DWORD nOffset = ReadLE32(file.data() + 10);
        info.assign(file.begin() + 14, file.begin() + nOffset);
        info.resize(info.size() + 1024, 0);
        bits.assign(file.begin() + nOffset, file.end());
    }
};

std::unique_ptr<CDibSection> Filled(int w, int h, COLORREF c)
{
    auto s = CDibSection::Create(w, h);
    CMemoryDC dc;
    dc.SelectBitmap(s.get());
    dc.FillSolidRect({0, 0, w, h}, c);
    return s;
}
} // namespace

TEST(DibSection, LayoutIsBottomUpZeroFilledWithPaddedRows)
{
    for (int w : {1, 2, 3, 4, 5, 161})
    {
        auto s = CDibSection::Create(w, 3);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->Stride(), (w * 3 + 3) / 4 * 4);
        EXPECT_EQ(s->Stride() % 4, 0);
        for (std::int64_t i = 0; i < s->ImageBytes(); ++i)
            ASSERT_EQ(s->Bits()[i], 0);
        EXPECT_EQ(s->RowFromTop(2), s->Bits()); // the bottom row comes first in memory
        EXPECT_EQ(s->Info().biSize, 40u);
        EXPECT_EQ(s->Info().biHeight, 3);
        EXPECT_EQ(s->Info().biBitCount, 24);
        EXPECT_EQ(s->Info().biSizeImage, 0u);
    }
}

TEST(DibSection, RefusesUnreasonableSizes)
{
    EXPECT_FALSE(CDibSection::Create(0, 10));
    EXPECT_FALSE(CDibSection::Create(10, 0));
    EXPECT_FALSE(CDibSection::Create(-5, 10));
    EXPECT_FALSE(CDibSection::Create(10, -5));
    EXPECT_FALSE(CDibSection::Create(65501, 1));
    EXPECT_FALSE(CDibSection::Create(1, 65501));
    EXPECT_FALSE(CDibSection::Create(40000, 40000)); // 4.8 GB
    EXPECT_TRUE(CDibSection::Create(65500, 1));
}

TEST(MemoryDC, UnscaledCopyReproducesThePictureAtAnOffset)
{
    const auto pic = CTestPicture::Pattern(7, 5);
    CRawDib dib(pic);
    auto s = Filled(10, 9, RGB(9, 9, 9));
    CMemoryDC dc;
    dc.SelectBitmap(s.get());
    EXPECT_EQ(dc.SetDIBitsToDevice(2, 3, 7, 5, 0, 0, 0, 5, dib.bits.data(), dib.bits.size(),
                                   dib.info.data(), dib.info.size()),
              5);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 10; ++x)
        {
            const bool bInside = x >= 2 && x < 9 && y >= 3 && y < 8;
            EXPECT_EQ(PixelAt(*s, x, y), bInside ? pic.At(x - 2, y - 3) : RGB(9, 9, 9))
                << x << "," << y;
        }
}

TEST(MemoryDC, StretchKeepsWholeSourcePixels)
{
    // Doubling repeats every pixel into a 2x2 block.
    const auto pic = CTestPicture::Pattern(3, 3);
    CRawDib dib(pic);
    auto up = CDibSection::Create(6, 6);
    CMemoryDC dc;
    dc.SelectBitmap(up.get());
    dc.SetStretchBltMode(COLORONCOLOR);
    dc.StretchDIBits(0, 0, 6, 6, 0, 0, 3, 3, dib.bits.data(), dib.bits.size(), dib.info.data(),
                     dib.info.size());
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(PixelAt(*up, x, y), pic.At(x / 2, y / 2));

    // Shrinking 7x5 to 3x2 drops columns and rows: every result is one of the source's pixels,
    // taken from columns 0, 2, 4 and rows 0, 2.
    const auto big = CTestPicture::Pattern(7, 5);
    CRawDib dib2(big);
    auto down = CDibSection::Create(3, 2);
    dc.SelectBitmap(down.get());
    dc.StretchDIBits(0, 0, 3, 2, 0, 0, 7, 5, dib2.bits.data(), dib2.bits.size(), dib2.info.data(),
                     dib2.info.size());
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(PixelAt(*down, x, y), big.At(x * 7 / 3, y * 5 / 2));
}

TEST(MemoryDC, TransparentStretchKeepsTheSurfaceUnderKeyPixels)
{
    const auto pic = CTestPicture::Pattern(5, 3);
    CRawDib dib(pic);
    const COLORREF key = pic.At(1, 0);
    auto s = Filled(10, 6, RGB(7, 8, 9));
    CMemoryDC dc;
    dc.SelectBitmap(s.get());
    ASSERT_TRUE(dc.TransparentDIBits({0, 0, 10, 6}, {0, 0, 5, 3}, dib.bits.data(), dib.bits.size(),
                                     dib.info.data(), dib.info.size(), key));
    int nKept = 0;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x)
        {
            const COLORREF src = pic.At(x / 2, y / 2);
            const COLORREF expected = src == key ? RGB(7, 8, 9) : src;
            EXPECT_EQ(PixelAt(*s, x, y), expected);
            nKept += src == key;
        }
    EXPECT_GT(nKept, 0);

    // Unscaled: the key keeps the surface, a colour one step away from it covers it.
    for (const COLORREF k : {key, key ^ 1})
    {
        auto s2 = Filled(5, 3, RGB(7, 8, 9));
        dc.SelectBitmap(s2.get());
        dc.TransparentDIBits({0, 0, 5, 3}, {0, 0, 5, 3}, dib.bits.data(), dib.bits.size(),
                             dib.info.data(), dib.info.size(), k);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                EXPECT_EQ(PixelAt(*s2, x, y), pic.At(x, y) == k ? RGB(7, 8, 9) : pic.At(x, y));
    }
}

TEST(MemoryDC, EveryDrawIsClippedToTheSection)
{
    const auto pic = CTestPicture::Pattern(7, 5);
    CRawDib dib(pic);
    struct Case
    {
        int x, y, w, h;
    };
    for (const Case c : {Case{-3, -2, 7, 5}, Case{6, 4, 7, 5}, Case{-100, 0, 7, 5},
                         Case{0, 50, 7, 5}, Case{-2, -2, 20, 20}, Case{-2147483000, 0, 30, 5},
                         Case{2147483000, 2147483000, 600, 600}})
    {
        auto s = Filled(8, 6, RGB(1, 1, 1));
        CMemoryDC dc;
        dc.SelectBitmap(s.get());
        dc.StretchDIBits(c.x, c.y, c.w, c.h, 0, 0, 7, 5, dib.bits.data(), dib.bits.size(),
                         dib.info.data(), dib.info.size());
        dc.TransparentDIBits({c.x, c.y, c.x + c.w, c.y + c.h}, {0, 0, 7, 5}, dib.bits.data(),
                             dib.bits.size(), dib.info.data(), dib.info.size(), 0);
        dc.FillSolidRect({c.x, c.y, c.x + c.w, c.y + c.h}, RGB(2, 2, 2));
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x)
            {
                const bool bInside = x >= c.x && x < std::int64_t(c.x) + c.w && y >= c.y &&
                                     y < std::int64_t(c.y) + c.h;
                EXPECT_EQ(PixelAt(*s, x, y), bInside ? RGB(2, 2, 2) : RGB(1, 1, 1));
            }
    }
}

TEST(MemoryDC, DrawsNothingWithoutASectionOrWithEmptyExtents)
{
    const auto pic = CTestPicture::Pattern(3, 3);
    CRawDib dib(pic);
    CMemoryDC dc;
    EXPECT_EQ(dc.StretchDIBits(0, 0, 3, 3, 0, 0, 3, 3, dib.bits.data(), dib.bits.size(),
                               dib.info.data(), dib.info.size()),
              0);
    auto s = Filled(3, 3, RGB(5, 5, 5));
    dc.SelectBitmap(s.get());
    EXPECT_EQ(dc.StretchDIBits(0, 0, 0, 3, 0, 0, 3, 3, dib.bits.data(), dib.bits.size(),
                               dib.info.data(), dib.info.size()),
              0);
    EXPECT_EQ(dc.StretchDIBits(0, 0, -3, -3, 0, 0, 3, 3, dib.bits.data(), dib.bits.size(),
                               dib.info.data(), dib.info.size()),
              0);
    EXPECT_EQ(PixelAt(*s, 1, 1), RGB(5, 5, 5));
}

TEST(MemoryDC, SaveAndRestoreBringBackTheDrawingState)
{
    CMemoryDC dc;
    dc.SetTextColor(RGB(1, 2, 3));
    dc.SetBkMode(OPAQUE);
    const int nLevel = dc.SaveDC();
    dc.SetTextColor(RGB(9, 9, 9));
    dc.SetBkColor(RGB(8, 8, 8));
    dc.SetBkMode(TRANSPARENT);
    dc.SaveDC();
    dc.SetTextColor(0);
    EXPECT_TRUE(dc.RestoreDC(nLevel));
    EXPECT_EQ(dc.GetTextColor(), RGB(1, 2, 3));
    EXPECT_EQ(dc.GetBkColor(), 0x00FFFFFFu);
    EXPECT_EQ(dc.GetBkMode(), OPAQUE);
    EXPECT_FALSE(dc.RestoreDC(nLevel)); // that level is gone
    EXPECT_FALSE(dc.RestoreDC(0));
}
