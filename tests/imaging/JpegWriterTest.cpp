#include "imaging/JpegWriter.h"

#include "JpegDecode.h"
#include "platform/gdi/DibSection.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace
{
// Greys that change along both axes: no chroma to blur, so at quality 100 every pixel
// decodes close to its value, and a wrong row stride would shear the picture.
std::unique_ptr<CDibSection> Gradient(int w, int h)
{
    auto s = CDibSection::Create(w, h);
    for (int y = 0; y < h; ++y)
    {
        BYTE* p = s->RowFromTop(y);
        for (int x = 0; x < w; ++x, p += 3)
            p[0] = p[1] = p[2] = BYTE((x * 7 + y * 37) % 200 + 20);
    }
    return s;
}

bool Near(std::uint32_t rgb, int r, int g, int b, int tol)
{
    return std::abs(int(rgb >> 16) - r) <= tol && std::abs(int((rgb >> 8) & 0xFF) - g) <= tol &&
           std::abs(int(rgb & 0xFF) - b) <= tol;
}

bool HasMarker(const std::vector<BYTE>& f, BYTE m)
{
    for (std::size_t i = 0; i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == m)
            return true;
    return false;
}
} // namespace

TEST(JpegWriter, WritesABaselineJfifFileOfTheBitmapUpright)
{
    CTempDir dir;
    const std::string path = dir.File("frame.jpg");
    CJpegWriter writer;
    // A red block in the top-left 16x16 corner, the rest blue, so colours survive encoding.
    auto s = CDibSection::Create(64, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
        {
            BYTE* p = s->RowFromTop(y) + 3 * x;
            const bool bRed = x < 16 && y < 16;
            p[0] = bRed ? 0 : 255;
            p[1] = 0;
            p[2] = bRed ? 255 : 0;
        }
    ASSERT_EQ(writer.WriteFile(s->Bits(), 64, 48, path.c_str()), 0);
    const auto bytes = ReadBytes(path);
    const auto d = DecodeJpegBytes(bytes);
    ASSERT_TRUE(d.bOk);
    EXPECT_EQ(d.nWidth, 64);
    EXPECT_EQ(d.nHeight, 48);
    EXPECT_EQ(d.nComponents, 3);
    EXPECT_TRUE(d.bJfif);
    EXPECT_EQ(d.nJfifMajor, 1);
    EXPECT_EQ(d.nJfifMinor, 1);
    EXPECT_EQ(d.nDensityUnit, 0);
    EXPECT_EQ(d.nXDensity, 1);
    EXPECT_EQ(d.nYDensity, 1);
    EXPECT_FALSE(d.bProgressive);
    EXPECT_FALSE(d.bArithmetic);
    EXPECT_TRUE(HasMarker(bytes, 0xC0)) << "SOF0: baseline";
    EXPECT_FALSE(HasMarker(bytes, 0xDD)) << "no restart interval";
    EXPECT_FALSE(HasMarker(bytes, 0xFE)) << "no comment";
    EXPECT_EQ(d.hSamp[0], 2);
    EXPECT_EQ(d.vSamp[0], 2);
    EXPECT_EQ(d.hSamp[1], 1);
    EXPECT_EQ(d.vSamp[2], 1);
    EXPECT_EQ(d.nLumaQuant0, 8) << "quality 75 by default";
    EXPECT_TRUE(Near(d.PixelRgb(0, 0), 255, 0, 0, 40)) << std::hex << d.PixelRgb(0, 0);
    EXPECT_TRUE(Near(d.PixelRgb(63, 47), 0, 0, 255, 40)) << std::hex << d.PixelRgb(63, 47);
}

TEST(JpegWriter, QualityIsClampedAndChangesTheTables)
{
    CTempDir dir;
    CJpegWriter writer;
    auto s = Gradient(80, 60);
    EXPECT_EQ(writer.SetQuality(-5), 0);
    ASSERT_EQ(writer.WriteFile(s->Bits(), 80, 60, dir.File("q0.jpg").c_str()), 0);
    EXPECT_EQ(writer.SetQuality(150), 100);
    ASSERT_EQ(writer.WriteFile(s->Bits(), 80, 60, dir.File("q100.jpg").c_str()), 0);
    EXPECT_EQ(writer.SetQuality(50), 50);
    ASSERT_EQ(writer.WriteFile(s->Bits(), 80, 60, dir.File("q50.jpg").c_str()), 0);

    const auto q0 = DecodeJpegFile(dir.File("q0.jpg"));
    const auto q100 = DecodeJpegFile(dir.File("q100.jpg"));
    const auto q50 = DecodeJpegFile(dir.File("q50.jpg"));
    EXPECT_EQ(q100.nLumaQuant0, 1);
    EXPECT_EQ(q50.nLumaQuant0, 16); // the standard table unscaled
    EXPECT_EQ(q0.nLumaQuant0, 255); // quality 1, limited to the baseline range
    EXPECT_LT(std::filesystem::file_size(dir.File("q0.jpg")),
              std::filesystem::file_size(dir.File("q100.jpg")));
}

TEST(JpegWriter, RowStrideFollowsTheWidth)
{
    CTempDir dir;
    CJpegWriter writer;
    writer.SetQuality(100);
    for (int w : {1, 2, 3, 161})
        for (int h : {1, 7})
        {
            SCOPED_TRACE(::testing::Message() << w << "x" << h);
            auto s = Gradient(w, h);
            ASSERT_EQ(writer.WriteFile(s->Bits(), w, h, dir.File("s.jpg").c_str()), 0);
            const auto d = DecodeJpegFile(dir.File("s.jpg"));
            ASSERT_TRUE(d.bOk);
            EXPECT_EQ(d.nWidth, w);
            EXPECT_EQ(d.nHeight, h);
            // With a wrong stride the gradient would shear: check the last row's last pixel.
            const BYTE* p = s->RowFromTop(h - 1) + 3 * (w - 1);
            if (w > 1 || h > 1)
            {
                EXPECT_TRUE(Near(d.PixelRgb(w - 1, h - 1), p[2], p[1], p[0], 12))
                    << std::hex << d.PixelRgb(w - 1, h - 1);
            }
        }
}

TEST(JpegWriter, FailuresReturnMinusOneAndTheWriterStaysUsable)
{
    CTempDir dir;
    CJpegWriter writer;
    auto s = Gradient(16, 16);
    const std::string missing = dir.File("no/such/dir/frame.jpg");
    EXPECT_EQ(writer.WriteFile(s->Bits(), 16, 16, missing.c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(dir.File("no")));

    EXPECT_EQ(writer.WriteFile(s->Bits(), 0, 0, dir.File("empty.jpg").c_str()), -1);
    EXPECT_FALSE(writer.LastMessage().empty());

    std::vector<BYTE> wide(std::size_t(DibStride24(65501)), 0);
    EXPECT_EQ(writer.WriteFile(wide.data(), 65501, 1, dir.File("wide.jpg").c_str()), -1);

    const std::string path = dir.File("ok.jpg");
    ASSERT_EQ(writer.WriteFile(s->Bits(), 16, 16, path.c_str()), 0);
    EXPECT_TRUE(writer.LastMessage().empty());
    const auto d = DecodeJpegFile(path);
    EXPECT_TRUE(d.bOk);
    EXPECT_EQ(d.nWidth, 16);
}

TEST(JpegWriter, ASecondWriteReplacesTheFirstCompletely)
{
    CTempDir dir;
    CJpegWriter writer;
    const std::string path = dir.File("frame.jpg");
    auto big = Gradient(200, 150);
    auto small = Gradient(8, 8);
    ASSERT_EQ(writer.WriteFile(big->Bits(), 200, 150, path.c_str()), 0);
    const auto nBig = std::filesystem::file_size(path);
    ASSERT_EQ(writer.WriteFile(small->Bits(), 8, 8, path.c_str()), 0);
    EXPECT_LT(std::filesystem::file_size(path), nBig);
    const auto d = DecodeJpegFile(path);
    ASSERT_TRUE(d.bOk);
    EXPECT_EQ(d.nWidth, 8);
    const auto bytes = ReadBytes(path);
    EXPECT_EQ(bytes[bytes.size() - 2], 0xFF);
    EXPECT_EQ(bytes[bytes.size() - 1], 0xD9);
}

TEST(JpegWriter, AFullDiskIsAFailureNotACrash)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    CJpegWriter writer;
    auto s = Gradient(300, 300);
    EXPECT_EQ(writer.WriteFile(s->Bits(), 300, 300, "/dev/full"), -1);
    CTempDir dir;
    EXPECT_EQ(writer.WriteFile(s->Bits(), 300, 300, dir.File("after.jpg").c_str()), 0);
}
