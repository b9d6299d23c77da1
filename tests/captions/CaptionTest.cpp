#include "captions/Caption.h"

#include "platform/registry/RegistryKey.h"
#include "platform/ui/MessageBox.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>

namespace
{
constexpr COLORREF kGround = RGB(10, 20, 30);

CCaption Caption(const char* pszText, int h = 0, int v = 0)
{
    CCaption c;
    c.Enabled = 1;
    c.Text = pszText;
    c.HPosType = h;
    c.VPosType = v;
    c.TextColor = RGB(255, 255, 0);
    c.BackColor = RGB(0, 0, 200);
    std::memset(&c.FontInfo, 0, sizeof c.FontInfo);
    c.FontInfo.lfHeight = -16;
    c.FontInfo.lfWeight = 400;
    std::strcpy(c.FontInfo.lfFaceName, "DejaVu Sans");
    return c;
}

struct CCanvas
{
    std::unique_ptr<CDibSection> section;
    CMemoryDC dc;
    CCanvas(int w, int h) : section(CDibSection::Create(w, h))
    {
        dc.SelectBitmap(section.get());
        dc.FillSolidRect({0, 0, w, h}, kGround);
    }
    COLORREF At(int x, int y) const
    {
        const BYTE* p = section->RowFromTop(y) + 3 * x;
        return RGB(p[2], p[1], p[0]);
    }
    // The smallest rectangle holding every pixel that is no longer the ground colour.
    RECT Changed() const
    {
        RECT r{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
        for (int y = 0; y < section->Height(); ++y)
            for (int x = 0; x < section->Width(); ++x)
                if (At(x, y) != kGround)
                {
                    r.left = std::min<LONG>(r.left, x);
                    r.top = std::min<LONG>(r.top, y);
                    r.right = std::max<LONG>(r.right, x + 1);
                    r.bottom = std::max<LONG>(r.bottom, y + 1);
                }
        return r;
    }
    std::vector<BYTE> Bytes() const
    {
        return std::vector<BYTE>(section->Bits(), section->Bits() + section->ImageBytes());
    }
};

SIZE Extent(const CCaption& c, const std::string& text)
{
    CMemoryDC dc;
    CFont font;
    font.CreateFontIndirect(c.FontInfo);
    dc.SelectFont(&font);
    return dc.GetTextExtent(text);
}
} // namespace

TEST(Caption, DefaultsDescribeTheDesktopFontCompletely)
{
    CCaption c;
    EXPECT_EQ(c.Enabled, 0);
    EXPECT_EQ(c.HPosType, 0);
    EXPECT_EQ(c.TextColor, 0u);
    EXPECT_EQ(c.BackColor, 0xFFFFFFu);
    EXPECT_EQ(c.BackType, 0);
    EXPECT_EQ(c.Text, "Click To Edit Caption");
    EXPECT_LT(c.FontInfo.lfHeight, 0);
    EXPECT_GT(c.FontInfo.lfWeight, 0);
    EXPECT_GT(strnlen(c.FontInfo.lfFaceName, 32), 0u);
    EXPECT_LT(strnlen(c.FontInfo.lfFaceName, 32), 32u);

    // It draws like any chosen font.
    c.Enabled = 1;
    CCanvas canvas(300, 60);
    c.Draw(canvas.dc, {0, 0, 300, 60});
    const RECT r = canvas.Changed();
    const SIZE size = Extent(c, c.Text);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.bottom, size.cy);
}

TEST(Caption, DisabledDrawsNothingAndLeavesTheContextAlone)
{
    CCaption c = Caption("hello");
    c.Enabled = 0;
    CCanvas canvas(100, 40);
    canvas.dc.SetTextColor(RGB(1, 1, 1));
    const auto before = canvas.Bytes();
    c.Draw(canvas.dc, {0, 0, 100, 40});
    EXPECT_EQ(canvas.Bytes(), before);
    EXPECT_EQ(canvas.dc.GetTextColor(), RGB(1, 1, 1));
}

TEST(Caption, AnchorsPlaceTheOpaqueCellExactly)
{
    const int W = 201;
    const int H = 97;
    for (int h = 0; h <= 2; ++h)
        for (int v = 0; v <= 2; ++v)
        {
            SCOPED_TRACE(::testing::Message() << "H" << h << " V" << v);
            CCaption c = Caption("Cam 7 Ag", h, v);
            const SIZE size = Extent(c, c.Text);
            CCanvas canvas(W, H);
            c.Draw(canvas.dc, {0, 0, W, H});
            const LONG x = h == 0 ? 0 : h == 1 ? (W - size.cx) / 2 : W - size.cx;
            const LONG y = v == 0 ? 0 : v == 1 ? (H - size.cy) / 2 : H - size.cy;
            const RECT r = canvas.Changed();
            EXPECT_EQ(r.left, x);
            EXPECT_EQ(r.top, y);
            EXPECT_EQ(r.right, x + size.cx);
            EXPECT_EQ(r.bottom, y + size.cy);
            // The cell is filled with the background colour wherever no glyph covers it.
            EXPECT_EQ(canvas.At(r.left, r.bottom - 1), RGB(0, 0, 200));
        }
    // Bottom-right touches the corner of the image exactly.
    CCaption c = Caption("corner", 2, 2);
    CCanvas canvas(W, H);
    c.Draw(canvas.dc, {0, 0, W, H});
    EXPECT_EQ(canvas.Changed().right, W);
    EXPECT_EQ(canvas.Changed().bottom, H);
}

TEST(Caption, CustomPositionsAreAbsoluteAndClipped)
{
    for (int nType : {3, 7, -1})
    {
        CCaption c = Caption("xy", nType, nType);
        c.XPos = 13;
        c.YPos = 9;
        CCanvas canvas(80, 50);
        c.Draw(canvas.dc, {0, 0, 80, 50});
        EXPECT_EQ(canvas.Changed().left, 13);
        EXPECT_EQ(canvas.Changed().top, 9);
    }
    CCaption c = Caption("clipped", 3, 3);
    c.XPos = -5000;
    c.YPos = 2000000000;
    CCanvas canvas(80, 50);
    const auto before = canvas.Bytes();
    c.Draw(canvas.dc, {0, 0, 80, 50});
    EXPECT_EQ(canvas.Bytes(), before);
}

TEST(Caption, CentringTruncatesTowardZero)
{
    // An image five pixels narrower than the text: (W - cx) / 2 = -5 / 2 = -2, not -3.
    CCaption centred = Caption("Truncation test", 1, 0);
    const SIZE size = Extent(centred, centred.Text);
    const int W = size.cx - 5;
    CCanvas a(W, 30);
    centred.Draw(a.dc, {0, 0, W, 30});
    for (int nX : {-2, -3})
    {
        CCaption custom = centred;
        custom.HPosType = 3;
        custom.XPos = nX;
        CCanvas b(W, 30);
        custom.Draw(b.dc, {0, 0, W, 30});
        EXPECT_EQ(a.Bytes() == b.Bytes(), nX == -2) << nX;
    }
}

TEST(Caption, TransparentBackgroundChangesOnlyGlyphs)
{
    CCaption opaque = Caption("Mm", 0, 0);
    CCaption clear = opaque;
    clear.BackType = 1;
    const SIZE size = Extent(opaque, opaque.Text);
    CCanvas a(60, 40);
    CCanvas b(60, 40);
    opaque.Draw(a.dc, {0, 0, 60, 40});
    clear.Draw(b.dc, {0, 0, 60, 40});
    int nOpaqueChanged = 0;
    int nClearChanged = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x)
        {
            nOpaqueChanged += a.At(x, y) != kGround;
            nClearChanged += b.At(x, y) != kGround;
            if (a.At(x, y) == RGB(0, 0, 200))
            {
                EXPECT_EQ(b.At(x, y), kGround); // background pixels stay in the transparent draw
            }
        }
    EXPECT_EQ(nOpaqueChanged, size.cx * size.cy);
    EXPECT_GT(nClearChanged, 10);
    EXPECT_LT(nClearChanged, nOpaqueChanged / 2);
}

TEST(Caption, TimeFormatsExpandAndTheStoredTextStays)
{
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 7;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 3;
    EXPECT_EQ(CCaption::ExpandTime("%Y-%m-%d %H:%M:%S", when), "2026-12-07 09:05:03");
    EXPECT_EQ(CCaption::ExpandTime("100%% sure", when), "100% sure");
    EXPECT_EQ(CCaption::ExpandTime("", when), "");
    EXPECT_EQ(CCaption::ExpandTime("plain text", when), "plain text");
    std::string longFormat;
    for (int i = 0; i < 3000; ++i)
        longFormat += "%Y";
    EXPECT_EQ(CCaption::ExpandTime(longFormat, when).size(), 12000u);

    // Field widths pad as strftime pads them, but no further than a picture could show: a
    // stored "%9999999999Y" must not cost gigabytes on every image.
    EXPECT_EQ(CCaption::ExpandTime("%10Y|%_6Y|%-d|%3EY", when), "0000002026|  2026|7|2026");
    for (const char* huge : {"%9999999999999999999999Y", "%_99999Y", "%#4097EY"})
    {
        const std::string padded = CCaption::ExpandTime(huge, when);
        EXPECT_EQ(padded.size(), 1024u) << huge;
        EXPECT_EQ(padded.substr(padded.size() - 4), "2026") << huge;
    }
    // Digits that are not a width stay as they are.
    EXPECT_EQ(CCaption::ExpandTime("100%% 99999999999 %%99999999999Y", when),
              "100% 99999999999 %99999999999Y");

    CCaption percent = Caption("%%", 0, 0);
    CCaption single = Caption("%", 0, 0);
    CCanvas a(40, 30);
    CCanvas b(40, 30);
    percent.Draw(a.dc, {0, 0, 40, 30});
    single.Draw(b.dc, {0, 0, 40, 30});
    EXPECT_EQ(a.Bytes(), b.Bytes());
    EXPECT_EQ(percent.Text, "%%");
}

TEST(Caption, LaterCaptionsPaintOverEarlierOnes)
{
    std::vector<CCaption> six;
    for (int i = 0; i < 6; ++i)
    {
        CCaption c = Caption("same", 1, 1);
        c.BackColor = RGB(BYTE(40 * i), 0, 0);
        six.push_back(c);
    }
    CCanvas canvas(100, 50);
    for (const auto& c : six)
        c.Draw(canvas.dc, {0, 0, 100, 50});
    const RECT r = canvas.Changed();
    EXPECT_EQ(canvas.At(r.left, r.top), RGB(200, 0, 0));
}

TEST(Caption, UntrustedFontRecordsDrawWithinBounds)
{
    const LONG heights[] = {0, -1, 1, LONG(INT_MIN), INT_MAX, 100000, -100000};
    for (LONG nHeight : heights)
    {
        CCaption c = Caption("Big?", 0, 0);
        std::memset(c.FontInfo.lfFaceName, 'Z', 32); // no terminating zero
        c.FontInfo.lfHeight = nHeight;
        c.FontInfo.lfWeight = nHeight;
        c.FontInfo.lfEscapement = nHeight;
        c.FontInfo.lfWidth = nHeight;
        c.FontInfo.lfQuality = 0xFF;
        const SIZE size = Extent(c, c.Text);
        EXPECT_LE(size.cy, CFont::kMaxPixelHeight * 2) << nHeight;
        CCanvas canvas(64, 48);
        c.Draw(canvas.dc, {0, 0, 64, 48});
    }
}

TEST(Caption, SaveAndLoadRoundTripThroughItsSubKey)
{
    CTempDir dir;
    CScopedEnv xdg("XDG_CONFIG_HOME", dir.Path().string());
    CRegistryKey product;
    ASSERT_EQ(product.Create(HKEY_LOCAL_MACHINE, "Software\\Quenlor\\Vistrel"), ERROR_SUCCESS);

    CCaption c = Caption("%H:%M \xE2\x80\x94 gate", 2, 3);
    c.XPos = -7;
    c.YPos = 123456;
    c.BackType = 1;
    ASSERT_EQ(c.Save(product, 4), ERROR_SUCCESS);
    CCaption back;
    ASSERT_EQ(back.Load(product, 4), ERROR_SUCCESS);
    EXPECT_EQ(back.Text, c.Text);
    EXPECT_EQ(back.XPos, -7);
    EXPECT_EQ(back.YPos, 123456);
    EXPECT_EQ(back.VPosType, 3);
    EXPECT_EQ(back.BackType, 1);
    EXPECT_EQ(std::memcmp(&back.FontInfo, &c.FontInfo, 60), 0);
    CCaption again = back;
    ASSERT_EQ(again.Load(product, 4), ERROR_SUCCESS);
    EXPECT_EQ(again.Text, back.Text);

    // A text of 1024 characters is not loaded; the caption keeps the one it had.
    CRegistryKey sub;
    sub.CreateSubKey(product, "caption4");
    sub.SetString(std::string(1024, 'x').c_str(), "Text");
    sub.Close();
    CCaption keep;
    keep.Text = "before";
    keep.Load(product, 4);
    EXPECT_EQ(keep.Text, "before");
    EXPECT_EQ(keep.XPos, -7);
}
