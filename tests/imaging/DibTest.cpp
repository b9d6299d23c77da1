#include "imaging/Dib.h"

#include "tests/support/BmpBuilder.h"
#include "tests/support/TempDir.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace
{
COLORREF PixelAt(const CDibSection& s, int x, int y)
{
    const BYTE* p = s.RowFromTop(y) + 3 * x;
    return RGB(p[2], p[1], p[0]);
}

std::unique_ptr<CDibSection> DrawUnscaled(CDib& dib)
{
    auto s = CDibSection::Create(int(dib.Width()), int(dib.Height()));
    CMemoryDC dc;
    dc.SelectBitmap(s.get());
    dib.Draw(dc);
    return s;
}

void ExpectPicture(const CDibSection& s, const CTestPicture& pic)
{
    for (int y = 0; y < pic.nHeight; ++y)
        for (int x = 0; x < pic.nWidth; ++x)
            ASSERT_EQ(PixelAt(s, x, y), pic.At(x, y)) << "at " << x << "," << y;
}

class DibFile : public ::testing::Test
{
protected:
    CTempDir m_dir;
    std::string Write(const std::vector<BYTE>& bytes, const char* pszName = "f.bmp")
    {
        const std::string path = m_dir.File(pszName);
        WriteBytes(path, bytes);
        return path;
    }
};

struct CFormatCase
{
    const char* pszName;
    CBmpOptions opt;
    int nColors;
};

void PrintTo(const CFormatCase& c, std::ostream* os)
{
    *os << c.pszName;
}

class DibFormats : public DibFile, public ::testing::WithParamInterface<CFormatCase>
{
};
} // namespace

TEST_P(DibFormats, EveryLayoutDrawsTheSamePicture)
{
    const auto& c = GetParam();
    const auto pic = CTestPicture::Pattern(7, 5, c.nColors);
    const auto bytes = MakeBmp(pic, c.opt);
    CDib dib;
    const auto result = dib.Load(Write(bytes).c_str());
    ASSERT_TRUE(result.Opened());
    ASSERT_EQ(result.Length(), bytes.size());
    EXPECT_EQ(dib.Width(), 7u);
    EXPECT_EQ(dib.Height(), 5u);
    ExpectPicture(*DrawUnscaled(dib), pic);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DibFormats,
    ::testing::Values(CFormatCase{"bgr24", {24, BI_RGB, 40, false, 0}, 8},
                      CFormatCase{"bgr24_topdown", {24, BI_RGB, 40, true, 0}, 8},
                      CFormatCase{"bgr24_v4", {24, BI_RGB, 108, false, 0}, 8},
                      CFormatCase{"bgrx32", {32, BI_RGB, 40, false, 0}, 8},
                      CFormatCase{"bitfields32_v5", {32, BI_BITFIELDS, 124, false, 0}, 8},
                      CFormatCase{"rgb555", {16, BI_RGB, 40, false, 0}, 8},
                      CFormatCase{"rgb565", {16, BI_BITFIELDS, 40, true, 0}, 8},
                      CFormatCase{"pal8", {8, BI_RGB, 40, false, 0}, 8},
                      CFormatCase{"pal8_used", {8, BI_RGB, 40, true, 8}, 8},
                      CFormatCase{"pal4", {4, BI_RGB, 40, false, 0}, 8},
                      CFormatCase{"pal1", {1, BI_RGB, 40, false, 0}, 2},
                      CFormatCase{"rle8", {8, BI_RLE8, 40, false, 0}, 8},
                      CFormatCase{"rle4", {4, BI_RLE4, 40, false, 0}, 8}),
    [](const auto& info) { return std::string(info.param.pszName); });

TEST_F(DibFile, FilesFromAnotherEncoderDrawTheirPicture)
{
    CTestPicture pic;
    pic.nWidth = 9;
    pic.nHeight = 6;
    pic.pixels.assign(54, RGB(255, 255, 255));
    pic.pixels[0] = RGB(255, 0, 0);
    for (int y = 2; y <= 4; ++y)
        for (int x = 3; x <= 5; ++x)
            pic.pixels[std::size_t(y * 9 + x)] = RGB(0, 0, 255);
    pic.pixels[53] = RGB(0, 255, 0);
    for (const char* pszName : {"im24.bmp", "im4.bmp", "im8rle.bmp", "im32v4.bmp"})
    {
        SCOPED_TRACE(pszName);
        CDib dib;
        const auto result = dib.Load((std::string(VISTREL_FIXTURES) + "/" + pszName).c_str());
        ASSERT_GT(result.Length(), 0u);
        ExpectPicture(*DrawUnscaled(dib), pic);
    }
}

TEST_F(DibFile, UnloadableFilesLeaveTheObjectEmpty)
{
    const auto good = MakeBmp(CTestPicture::Pattern(4, 3));
    auto patched = [&](std::size_t nAt, std::uint32_t v)
    {
        auto b = good;
        WriteLE32(b.data() + nAt, v);
        return b;
    };
    auto cut = [&](std::size_t n)
    {
        return std::vector<BYTE>(good.begin(), good.begin() + n);
    };
    std::vector<BYTE> notBm = good;
    notBm[1] = 'A';
    const std::vector<std::pair<const char*, std::vector<BYTE>>> cases = {
        {"empty file", {}},
        {"13 bytes", cut(13)},
        {"14-byte file", cut(14)},
        {"no BM signature", notBm},
        {"pixel offset inside the header", patched(10, 40)},
        {"pixel offset 53", patched(10, 53)},
        {"nothing after the pixel offset", patched(10, DWORD(good.size()))},
        {"pixel offset beyond the end", patched(10, 100000)},
        {"header cut short", cut(40)},
        {"pixel rows cut short", cut(good.size() - 1)},
        {"colour table beyond the spare bytes", patched(14 + 32, 300)},
        {"header size beyond the pixel offset", patched(14, 108)},
        {"RLE rows beyond the picture's height",
         [&]
         {
             auto b = MakeBmp(CTestPicture::Pattern(4, 3), {8, BI_RLE8, 40, false, 0});
             WriteLE32(b.data() + 22, 2);
             return b;
         }()},
    };
    for (const auto& [pszWhy, bytes] : cases)
    {
        CDib dib;
        ASSERT_GT(dib.Load(Write(good).c_str()).Length(), 0u);
        const auto result = dib.Load(Write(bytes).c_str());
        EXPECT_TRUE(result.Opened()) << pszWhy;
        EXPECT_EQ(result.Length(), 0u) << pszWhy;
        EXPECT_TRUE(dib.IsEmpty()) << pszWhy;
        EXPECT_EQ(dib.Width(), 0u);
        EXPECT_EQ(dib.Height(), 0u);
        EXPECT_EQ(dib.Palette(), nullptr);
    }
}

TEST_F(DibFile, AFileThatCannotBeOpenedIsReportedAndChangesNothing)
{
    CDib dib;
    ASSERT_GT(dib.Load(Write(MakeBmp(CTestPicture::Pattern(4, 3))).c_str()).Length(), 0u);
    const auto result = dib.Load(m_dir.File("missing.bmp").c_str());
    EXPECT_FALSE(result.Opened());
    EXPECT_EQ(result.Error().m_nErrno, ENOENT);
    EXPECT_NE(result.Error().GetErrorMessage().find("missing.bmp"), std::string::npos);
    EXPECT_EQ(dib.Width(), 4u); // still the earlier image

    const auto dir = dib.Load(m_dir.Path().c_str());
    EXPECT_FALSE(dir.Opened());
    EXPECT_EQ(dib.Width(), 4u);
}

TEST_F(DibFile, PaletteFollowsTheColourCount)
{
    CDib dib24;
    ASSERT_GT(dib24.Load(Write(MakeBmp(CTestPicture::Pattern(3, 2))).c_str()).Length(), 0u);
    EXPECT_EQ(dib24.ColorCount(), 0);
    EXPECT_EQ(dib24.Palette(), nullptr);
    EXPECT_TRUE(dib24.BuildPalette());

    CDib dib8;
    ASSERT_GT(
        dib8.Load(Write(MakeBmp(CTestPicture::Pattern(3, 2), {8, BI_RGB, 40, false, 0})).c_str())
            .Length(),
        0u);
    EXPECT_EQ(dib8.ColorCount(), 256);
    EXPECT_EQ(dib8.ColorTableSize(), 1024u);
    ASSERT_NE(dib8.Palette(), nullptr);
    ASSERT_EQ(dib8.Palette()->Entries().size(), 256u);
    EXPECT_EQ(dib8.Palette()->Entries()[1].peRed, 255); // entry 1 is red
    EXPECT_EQ(dib8.Palette()->Entries()[1].peBlue, 0);
    EXPECT_EQ(dib8.Palette()->Version(), 0x300);

    // A 24-bit bitmap that names a colour count gets a palette of that many entries.
    auto b = MakeBmp(CTestPicture::Pattern(3, 2));
    WriteLE32(b.data() + 14 + 32, 3);
    CDib dibUsed;
    ASSERT_GT(dibUsed.Load(Write(b).c_str()).Length(), 0u);
    ASSERT_NE(dibUsed.Palette(), nullptr);
    EXPECT_EQ(dibUsed.Palette()->Entries().size(), 3u);

    CDib empty;
    EXPECT_FALSE(empty.BuildPalette());
    EXPECT_EQ(empty.ColorCount(), 0);
}

TEST_F(DibFile, TrailingBytesStayPartOfThePixels)
{
    auto b = MakeBmp(CTestPicture::Pattern(3, 2));
    const std::size_t nPixels = b.size() - 54;
    b.insert(b.end(), {1, 2, 3, 4, 5});
    CDib dib;
    EXPECT_EQ(dib.Load(Write(b).c_str()).Length(), b.size());
    EXPECT_EQ(dib.PixelsLength(), nPixels + 5);
    EXPECT_EQ(dib.InfoLength(), 40u + 1024u);
}

TEST_F(DibFile, EqualSizesCopyUnscaledAndAOnePixelDifferenceStretches)
{
    // With a source rectangle below the top row, the unscaled copy counts it from the top and
    // the stretch hands its top to the bottom-up source unchanged: the two paths differ.
    const auto pic = CTestPicture::Pattern(5, 4);
    CDib dib;
    ASSERT_GT(dib.Load(Write(MakeBmp(pic)).c_str()).Length(), 0u);
    const RECT src{0, 1, 5, 4};

    auto s = CDibSection::Create(5, 3);
    CMemoryDC dc;
    dc.SelectBitmap(s.get());
    EXPECT_EQ(dib.Draw(dc, {0, 0, 5, 3}, src), 4);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            ASSERT_EQ(PixelAt(*s, x, y), pic.At(x, y + 1));
    EXPECT_EQ(dc.GetStretchBltMode(), COLORONCOLOR);

    auto t = CDibSection::Create(6, 3);
    dc.SelectBitmap(t.get());
    EXPECT_EQ(dib.Draw(dc, {0, 0, 6, 3}, src), 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x)
            ASSERT_EQ(PixelAt(*t, x, y), pic.At(x * 5 / 6, y));
}

TEST_F(DibFile, TransparentDrawWithAbsentAndAllKeyColours)
{
    const auto pic = CTestPicture::Pattern(5, 3);
    CDib dib;
    ASSERT_GT(dib.Load(Write(MakeBmp(pic)).c_str()).Length(), 0u);
    auto s = CDibSection::Create(10, 6);
    CMemoryDC dc;
    dc.SelectBitmap(s.get());
    dc.FillSolidRect({0, 0, 10, 6}, RGB(1, 2, 3));
    dc.SetBkColor(RGB(4, 4, 4));
    dc.SetTextColor(RGB(5, 5, 5));
    EXPECT_EQ(dib.DrawTransparent(dc, {0, 0, 10, 6}, {0, 0, 5, 3}, RGB(10, 20, 30)), 1);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x)
            ASSERT_EQ(PixelAt(*s, x, y), pic.At(x / 2, y / 2));
    EXPECT_EQ(dc.GetBkColor(), RGB(4, 4, 4));
    EXPECT_EQ(dc.GetTextColor(), RGB(5, 5, 5));

    CTestPicture allKey = pic;
    allKey.pixels.assign(allKey.pixels.size(), RGB(0, 255, 0));
    CDib keyDib;
    ASSERT_GT(keyDib.Load(Write(MakeBmp(allKey), "k.bmp").c_str()).Length(), 0u);
    dc.FillSolidRect({0, 0, 10, 6}, RGB(1, 2, 3));
    keyDib.DrawTransparent(dc, {0, 0, 10, 6}, {0, 0, 5, 3}, RGB(0, 255, 0));
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x)
            ASSERT_EQ(PixelAt(*s, x, y), RGB(1, 2, 3));

    CDib empty;
    EXPECT_EQ(empty.DrawTransparent(dc, {0, 0, 10, 6}, {0, 0, 5, 3}, 0), 0);
    EXPECT_EQ(empty.Draw(dc), 0);
    EXPECT_EQ(PixelAt(*s, 0, 0), RGB(1, 2, 3));
}

TEST_F(DibFile, RepeatedTransparentDrawsMatchTheDirectDrawing)
{
    // Black, white and key pixels side by side, drawn at several placements, each several
    // times: the later draws come from the recording and must be the direct drawing exactly.
    CTestPicture pic = CTestPicture::Pattern(13, 7);
    for (int x = 0; x < 13; ++x)
        pic.pixels[std::size_t(x)] = x % 3 == 0 ? RGB(0, 0, 0) : RGB(255, 0, 255);
    pic.pixels[20] = RGB(255, 255, 255);
    CDib dib;
    ASSERT_GT(dib.Load(Write(MakeBmp(pic)).c_str()).Length(), 0u);
    const COLORREF key = RGB(255, 0, 255);

    auto ground = [](CDibSection& s)
    {
        for (int y = 0; y < s.Height(); ++y)
            for (int x = 0; x < s.Width(); ++x)
            {
                BYTE* p = s.RowFromTop(y) + 3 * x;
                p[0] = BYTE(x * 7 + y);
                p[1] = BYTE(y * 11);
                p[2] = BYTE(x ^ y);
            }
    };
    struct Case
    {
        RECT dest;
        RECT src;
    };
    const Case cases[] = {{{0, 0, 13, 7}, {0, 0, 13, 7}},    // unscaled
                          {{-4, -2, 22, 12}, {0, 0, 13, 7}}, // enlarged, clipped
                          {{5, 3, 12, 6}, {2, 1, 13, 7}},    // shrunk from a part
                          {{10, 4, 30, 30}, {0, 0, 13, 7}}}; // mostly outside
    for (const Case& c : cases)
    {
        auto expected = CDibSection::Create(17, 9);
        ground(*expected);
        CMemoryDC direct;
        direct.SelectBitmap(expected.get());
        direct.TransparentDIBits(c.dest, c.src, dib.Pixels(), dib.PixelsLength(), dib.Info(),
                                 dib.InfoLength(), key);
        for (int n = 0; n < 3; ++n)
        {
            auto s = CDibSection::Create(17, 9);
            ground(*s);
            CMemoryDC dc;
            dc.SelectBitmap(s.get());
            EXPECT_EQ(dib.DrawTransparent(dc, c.dest, c.src, key), 1);
            ASSERT_EQ(std::memcmp(s->Bits(), expected->Bits(), std::size_t(s->ImageBytes())), 0)
                << "placement " << (&c - cases) << ", draw " << n;
        }
    }

    // Another key, another surface size and a reloaded picture are not served from the
    // recording of the one before.
    auto s = CDibSection::Create(17, 9);
    CMemoryDC dc;
    dc.SelectBitmap(s.get());
    for (int n = 0; n < 2; ++n)
    {
        dc.FillSolidRect({0, 0, 17, 9}, RGB(1, 2, 3));
        dib.DrawTransparent(dc, {0, 0, 13, 7}, {0, 0, 13, 7}, RGB(0, 0, 0));
    }
    EXPECT_EQ(PixelAt(*s, 0, 0), RGB(1, 2, 3));     // black is the key now
    EXPECT_EQ(PixelAt(*s, 1, 0), RGB(255, 0, 255)); // and magenta is drawn
    const CTestPicture other = CTestPicture::Pattern(13, 7, 2);
    ASSERT_GT(dib.Load(Write(MakeBmp(other), "o.bmp").c_str()).Length(), 0u);
    dc.FillSolidRect({0, 0, 17, 9}, RGB(1, 2, 3));
    dib.DrawTransparent(dc, {0, 0, 13, 7}, {0, 0, 13, 7}, RGB(0, 0, 0));
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; ++x)
            ASSERT_EQ(PixelAt(*s, x, y),
                      other.At(x, y) == RGB(0, 0, 0) ? RGB(1, 2, 3) : other.At(x, y));
}

TEST_F(DibFile, WriteToReproducesTheFileItWasReadFrom)
{
    for (const CBmpOptions opt :
         {CBmpOptions{24, BI_RGB, 40, false, 0}, CBmpOptions{8, BI_RGB, 40, false, 0},
          CBmpOptions{4, BI_RGB, 40, false, 0}})
    {
        const auto bytes = MakeBmp(CTestPicture::Pattern(5, 3), opt);
        CDib dib;
        ASSERT_GT(dib.Load(Write(bytes).c_str()).Length(), 0u);
        CFile out;
        ASSERT_TRUE(out.Open(m_dir.File("out.bmp").c_str(), CFile::modeCreateWrite));
        const DWORD n = dib.WriteTo(out);
        out.Close();
        auto written = ReadBytes(m_dir.File("out.bmp"));
        EXPECT_EQ(n, written.size());
        // The image-size field is filled in on writing; everything else is the original.
        auto expected = bytes;
        WriteLE32(expected.data() + 14 + 20, DWORD(bytes.size() - ReadLE32(bytes.data() + 10)));
        EXPECT_EQ(written, expected);
    }
    CDib v5;
    ASSERT_GT(v5.Load(Write(MakeBmp(CTestPicture::Pattern(2, 2), {32, BI_BITFIELDS, 124, false, 0}))
                          .c_str())
                  .Length(),
              0u);
    CFile out;
    ASSERT_TRUE(out.Open(m_dir.File("v5.bmp").c_str(), CFile::modeCreateWrite));
    EXPECT_EQ(v5.WriteTo(out), 0u);
    CDib empty;
    EXPECT_EQ(empty.WriteTo(out), 0u);
}
