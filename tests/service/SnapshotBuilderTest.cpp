#include "service/SnapshotService.h"

#include "JpegDecode.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/NetClient.h"
#include "tests/support/TempDir.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace
{
class CFakeCapture : public CFrameSource
{
public:
    CFrameBuffer frame;
    bool bGrabOk = true;
    std::vector<std::string> calls;

    void SetPicture(const CTestPicture& pic)
    {
        frame.Resize(pic.nWidth, pic.nHeight);
        for (int y = 0; y < pic.nHeight; ++y)
            for (int x = 0; x < pic.nWidth; ++x)
            {
                const COLORREF c = pic.At(x, y);
                std::uint8_t* p = frame.Row(y) + 3 * x;
                p[0] = GetBValue(c), p[1] = GetGValue(c), p[2] = GetRValue(c);
            }
    }
    bool GrabFrameNoStop() override
    {
        calls.push_back("grab");
        return bGrabOk;
    }
    const CFrameBuffer& Frame() const override { return frame; }
    std::string LastError() const override { return "the camera went away"; }
};

struct CResponse
{
    struct
    {
        int nLength = 0;
        bool bFailed = false;
        std::string strProblem;
    } result;
    std::vector<BYTE> bytes;
    std::string Text() const { return std::string(bytes.begin(), bytes.end()); }
    // The body after the header's blank line (the whole response when there is none).
    std::vector<BYTE> Body() const
    {
        const std::string t = Text();
        const auto n = t.find("\r\n\r\n");
        return n == std::string::npos ? bytes
                                      : std::vector<BYTE>(bytes.begin() + long(n) + 4, bytes.end());
    }
};

class SnapshotBuilder : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CSettings m_settings;
    CFakeCapture m_capture;
    std::shared_ptr<CDib> m_pOverlay;
    CSnapshotService m_service{m_settings};
    std::string m_strStatus;

    void SetUp() override
    {
        m_settings.CaptureDevice = 0;
        m_settings.ImageType = 1; // BMP, so pixels can be compared exactly
        m_capture.SetPicture(CTestPicture::Pattern(320, 240));
        m_service.SetFrameSource(&m_capture);
        m_service.SetWorkingDirectory(m_dir.Path().string());
        m_service.SetStatusHandler([this](const std::string& s) { m_strStatus = s; });
    }

    // One request through the service, delivered on the event loop as the server gets it.
    CResponse Build()
    {
        m_service.SetOverlay(m_pOverlay);
        m_strStatus = "(not reported)";
        CResponse r;
        bool bDelivered = false;
        m_service.BuildSnapshotLater(
            [&](int nLength, std::unique_ptr<std::uint8_t[]> block)
            {
                bDelivered = true;
                r.result.nLength = nLength;
                if (nLength > 0)
                    r.bytes.assign(block.get(), block.get() + nLength);
            });
        EXPECT_TRUE(PumpUntil([&] { return bDelivered; }, 5000));
        r.result.strProblem = m_strStatus;
        r.result.bFailed = r.Text().rfind("HTTP/1.0 503", 0) == 0 || r.bytes.empty();
        return r;
    }
    static std::pair<int, int> BmpSize(const std::vector<BYTE>& body)
    {
        return {int(ReadLE32(&body[18])), int(ReadLE32(&body[22]))};
    }
};

COLORREF BmpPixel(const std::vector<BYTE>& body, int x, int yFromTop)
{
    const int w = int(ReadLE32(&body[18]));
    const int h = int(ReadLE32(&body[22]));
    const std::size_t stride = std::size_t(w * 3 + 3) & ~std::size_t(3);
    const BYTE* p = &body[54 + stride * std::size_t(h - 1 - yFromTop) + 3 * std::size_t(x)];
    return RGB(p[2], p[1], p[0]);
}
} // namespace

TEST_F(SnapshotBuilder, HeaderVariantsAreExact)
{
    const std::string server = std::string("Server: ") + CSnapshotBuilder::kProductId + "\r\n";
    EXPECT_EQ(server, "Server: Vistrel-quenlor.example.com/vistrel/\r\n");

    auto bmp = Build();
    const std::string bmpHead =
        "HTTP/1.0 200 OK\r\n" + server + "Expires: 0\r\nContent-type: image/bmp\r\n\r\nBM";
    EXPECT_EQ(bmp.Text().substr(0, bmpHead.size()), bmpHead);

    m_settings.ImageType = 0;
    auto jpeg = Build();
    const std::string jpegHead =
        "HTTP/1.0 200 OK\r\n" + server + "Expires: 0\r\nContent-type: image/jpeg\r\n\r\n";
    ASSERT_EQ(jpeg.Text().substr(0, jpegHead.size()), jpegHead);
    EXPECT_EQ(jpeg.bytes[jpegHead.size()], 0xFF);
    EXPECT_EQ(jpeg.bytes[jpegHead.size() + 1], 0xD8);
    // The body is "frame.jpg" byte for byte.
    EXPECT_EQ(jpeg.Body(), ReadBytes(m_dir.File("frame.jpg")));
    const auto decoded = DecodeJpegBytes(jpeg.Body());
    EXPECT_TRUE(decoded.bOk);
    EXPECT_EQ(decoded.nWidth, 320);

    m_settings.HttpHeaders = 0;
    for (int nType : {0, 3})
    {
        m_settings.ImageType = nType;
        auto bare = Build();
        EXPECT_EQ(bare.Text().find("Content-type"), std::string::npos);
        EXPECT_EQ(bare.bytes[0], nType == 0 ? 0xFF : 'B');
    }
}

TEST_F(SnapshotBuilder, BmpBodiesFollowTheLayout)
{
    m_settings.HttpHeaders = 0;
    m_settings.UseCustomSize = 1;
    m_settings.ImageWidth = 5;
    m_settings.ImageHeight = 7;
    const auto r = Build();
    ASSERT_EQ(r.bytes.size(), 54u + 16u * 7u); // 5 pixels take 16 bytes a row
    EXPECT_EQ(r.result.nLength, int(r.bytes.size()));
    const std::vector<BYTE>& b = r.bytes;
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(ReadLE32(&b[2]), 54u + 16u * 7u);
    EXPECT_EQ(ReadLE32(&b[6]), 0u);
    EXPECT_EQ(ReadLE32(&b[10]), 54u);
    const std::vector<BYTE> info = InfoHeader(5, 7, 24, BI_RGB);
    auto expectedInfo = info;
    WriteLE16(&expectedInfo[12], 1); // planes
    EXPECT_EQ(std::vector<BYTE>(b.begin() + 14, b.begin() + 54), expectedInfo);
    // Filler bytes at each row's end are zero; pixels come from the stretched frame.
    for (int y = 0; y < 7; ++y)
        EXPECT_EQ(b[54 + 16 * y + 15], 0);
    const auto pic = CTestPicture::Pattern(320, 240);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(BmpPixel(b, x, y), pic.At(x * 320 / 5, y * 240 / 7));

    m_settings.ImageWidth = 160;
    m_settings.ImageHeight = 120;
    EXPECT_EQ(Build().bytes.size(), 57654u);

    // Drawn from the frame in memory, whether its rows need padding or not: at the frame's
    // own size the pixels are those of "capframe.bmp", byte for byte.
    m_settings.UseCustomSize = 0;
    for (const auto& [w, h] : {std::pair{320, 240}, std::pair{33, 17}})
    {
        m_capture.SetPicture(CTestPicture::Pattern(w, h));
        const auto same = Build();
        EXPECT_EQ(BmpSize(same.bytes), std::make_pair(w, h));
        const auto file = ReadBytes(m_dir.File("capframe.bmp"));
        ASSERT_EQ(same.bytes.size(), file.size());
        EXPECT_TRUE(std::equal(file.begin() + 54, file.end(), same.bytes.begin() + 54))
            << w << "x" << h;
    }
}

TEST_F(SnapshotBuilder, SizeCodesApplyPerAxisOnlyWithCustomSize)
{
    m_settings.HttpHeaders = 0;
    m_settings.ImageWidth = 400;
    m_settings.ImageHeight = 7;
    EXPECT_EQ(BmpSize(Build().bytes), std::make_pair(320, 240)); // UseCustomSize 0
    m_settings.UseCustomSize = 1;
    const std::pair<int, int> cases[] = {{1, 160}, {2, 640}, {4, 1280}, {5, 5}, {400, 400}};
    for (const auto& [code, expected] : cases)
    {
        m_settings.ImageWidth = code;
        m_settings.ImageHeight = 1;
        EXPECT_EQ(BmpSize(Build().bytes), std::make_pair(expected, 120)) << code;
    }
    m_settings.ImageWidth = 2;
    m_settings.ImageHeight = 240;
    EXPECT_EQ(BmpSize(Build().bytes), std::make_pair(640, 240));
    EXPECT_EQ(CSnapshotBuilder::OutputSize(1, 161), 80);
}

TEST_F(SnapshotBuilder, OverlayIsStretchedOverEverythingWithItsKeyColourTransparent)
{
    m_settings.HttpHeaders = 0;
    // A 2x2 overlay: top-left is the key colour, the rest solid green.
    CTestPicture overlay;
    overlay.nWidth = overlay.nHeight = 2;
    overlay.pixels = {RGB(255, 0, 255), RGB(0, 255, 0), RGB(0, 255, 0), RGB(0, 255, 0)};
    WriteBytes(m_dir.File("overlay.bmp"), MakeBmp(overlay));
    m_pOverlay = std::make_shared<CDib>();
    ASSERT_GT(m_pOverlay->Load(m_dir.File("overlay.bmp").c_str()).Length(), 0u);
    m_settings.OverlayTransColor = RGB(255, 0, 255);
    const auto b = Build().bytes;
    const auto pic = CTestPicture::Pattern(320, 240);
    EXPECT_EQ(BmpPixel(b, 10, 10), pic.At(10, 10));     // under the key: the frame shows
    EXPECT_EQ(BmpPixel(b, 159, 119), pic.At(159, 119)); // the key quadrant's last pixel
    EXPECT_EQ(BmpPixel(b, 160, 10), RGB(0, 255, 0));
    EXPECT_EQ(BmpPixel(b, 10, 120), RGB(0, 255, 0));
    EXPECT_EQ(BmpPixel(b, 319, 239), RGB(0, 255, 0));
}

TEST_F(SnapshotBuilder, CaptionsAreDrawnInOrder)
{
    m_settings.HttpHeaders = 0;
    for (int i : {0, 1})
    {
        CCaption& c = m_settings.captions[std::size_t(i)];
        c.Enabled = 1;
        c.Text = "%Y";
        c.BackColor = i == 0 ? RGB(1, 2, 3) : RGB(4, 5, 6);
    }
    const auto b = Build().bytes;
    EXPECT_EQ(BmpPixel(b, 0, 0), RGB(4, 5, 6)); // the second caption's cell, over the first's
}

TEST_F(SnapshotBuilder, WithoutADriverTheStandbyFileIsServedAndTheCaptureWindowLeftAlone)
{
    m_settings.HttpHeaders = 0;
    m_settings.CaptureDevice = -1;
    // No "capoff.bmp": the built-in stand-by card.
    auto card = Build();
    EXPECT_FALSE(card.result.bFailed);
    EXPECT_EQ(BmpSize(card.bytes), std::make_pair(320, 240));
    EXPECT_TRUE(m_capture.calls.empty());

    CTestPicture pic = CTestPicture::Pattern(33, 17);
    WriteBytes(m_dir.File("capoff.bmp"), MakeBmp(pic));
    auto own = Build();
    EXPECT_EQ(BmpSize(own.bytes), std::make_pair(33, 17));
    EXPECT_EQ(BmpPixel(own.bytes, 32, 16), pic.At(32, 16));
    EXPECT_TRUE(m_capture.calls.empty());

    // With a driver the frame is grabbed (and its file written on the way, from the copy).
    m_settings.CaptureDevice = 2;
    Build();
    EXPECT_EQ(m_capture.calls, std::vector<std::string>{"grab"});
    EXPECT_EQ(ReadBytes(m_dir.File("capframe.bmp")), m_capture.frame.DibFileBytes());
}

TEST_F(SnapshotBuilder, FailuresAnswer503OrNothingAndNeverABadImage)
{
    struct Case
    {
        const char* pszWhy;
        std::function<void()> arrange;
    };
    const std::vector<Case> cases = {
        {"frame not saved",
         [&]
         {
             std::filesystem::create_directories(m_dir.File("capframe.bmp"));
         }},
        {"width code 0",
         [&]
         {
             m_settings.UseCustomSize = 1, m_settings.ImageWidth = 0;
         }},
        {"negative height code",
         [&]
         {
             m_settings.UseCustomSize = 1, m_settings.ImageHeight = -3;
         }},
        {"absurd size",
         [&]
         {
             m_settings.UseCustomSize = 1, m_settings.ImageWidth = 70000;
         }},
        {"JPEG cannot be written",
         [&]
         {
             m_settings.ImageType = 0;
             std::filesystem::create_directories(m_dir.File("frame.jpg"));
         }},
    };
    for (bool bHeaders : {true, false})
        for (const Case& c : cases)
        {
            SCOPED_TRACE(::testing::Message()
                         << c.pszWhy << (bHeaders ? " with" : " without") << " headers");
            SetUp();
            std::filesystem::remove_all(m_dir.File("capframe.bmp"));
            m_settings.UseCustomSize = 0;
            m_settings.ImageWidth = 160;
            m_settings.ImageHeight = 120;
            std::filesystem::remove_all(m_dir.File("frame.jpg"));
            m_settings.HttpHeaders = bHeaders ? 1 : 0;
            c.arrange();
            const auto r = Build();
            EXPECT_TRUE(r.result.bFailed);
            EXPECT_FALSE(r.result.strProblem.empty());
            if (std::string(c.pszWhy) == "JPEG cannot be written")
            {
                EXPECT_NE(r.result.strProblem.find("frame.jpg: Is a directory"), std::string::npos)
                    << r.result.strProblem;
            }
            if (bHeaders)
            {
                const std::string expected =
                    std::string("HTTP/1.0 503 Service Unavailable\r\nServer: ") +
                    CSnapshotBuilder::kProductId + "\r\nContent-type: text/plain\r\n\r\n" +
                    r.result.strProblem + "\r\n";
                EXPECT_EQ(r.Text(), expected);
            }
            else
            {
                EXPECT_EQ(r.result.nLength, 0);
            }
        }
}

TEST_F(SnapshotBuilder, AStaleJpegIsNeverServed)
{
    m_settings.ImageType = 0;
    m_settings.HttpHeaders = 0;
    const auto good = Build();
    ASSERT_FALSE(good.result.bFailed);
    // The next encode fails (an empty image): the old "frame.jpg" must not go out as new.
    m_settings.UseCustomSize = 1;
    m_settings.ImageWidth = 0;
    const auto r = Build();
    EXPECT_TRUE(r.result.bFailed);
    EXPECT_EQ(r.result.nLength, 0);
}

TEST_F(SnapshotBuilder, ALostCameraIsReportedAndTheStandbyPictureServed)
{
    m_settings.HttpHeaders = 0;
    m_capture.bGrabOk = false;
    const auto card = Build();
    EXPECT_FALSE(card.result.bFailed);
    EXPECT_NE(card.result.strProblem.find("the camera went away"), std::string::npos);
    EXPECT_EQ(BmpSize(card.bytes), std::make_pair(320, 240)) << "the built-in card";
    // The user's stand-by picture when there is one, as with no camera chosen.
    WriteBytes(m_dir.File("capoff.bmp"), MakeBmp(CTestPicture::Pattern(33, 17)));
    const auto own = Build();
    EXPECT_EQ(BmpSize(own.bytes), std::make_pair(33, 17));
}

TEST_F(SnapshotBuilder, AReusedBitmapStartsBlankEveryTime)
{
    m_settings.HttpHeaders = 0;
    m_settings.UseCustomSize = 1;
    m_settings.ImageWidth = 40;
    m_settings.ImageHeight = 30;
    m_settings.CaptureDevice = -1;
    WriteBytes(m_dir.File("capoff.bmp"), {'n', 'o', 't', ' ', 'b', 'm', 'p'}); // draws nothing
    CCaption& c = m_settings.captions[0];
    c.Enabled = 1;
    c.Text = "X";
    c.BackColor = RGB(9, 9, 9);
    const auto first = Build().bytes;
    EXPECT_EQ(BmpPixel(first, 0, 0), RGB(9, 9, 9));
    c.Enabled = 0;
    const auto second = Build().bytes;
    EXPECT_EQ(BmpPixel(second, 0, 0), RGB(0, 0, 0));

    // The pool hands the same bitmap back for the same size, and lets go of the old size.
    CBitmapPool pool;
    auto p = pool.Acquire(40, 30);
    const CDibSection* pKept = p.get();
    pool.Release(std::move(p));
    EXPECT_EQ(pool.Acquire(40, 30).get(), pKept) << "the same size reuses the bitmap";
    pool.Release(CDibSection::Create(40, 30));
    EXPECT_EQ(pool.Acquire(41, 30)->Width(), 41);
    EXPECT_EQ(pool.Kept(), 0u);

    // A thread's encoder buffer, grown by one large picture (noise at quality 100: more than
    // 8 MB), is let go by the next small one rather than kept, and cleared, for good.
    CSnapshotBuilder::CThreadState state;
    auto build = [&](int nWidth, int nHeight)
    {
        CSnapshotBuilder::CJob job;
        CSettings settings;
        settings.ImageType = 0;
        settings.JpegQuality = 100;
        job.pScene = std::make_shared<const CSnapshotBuilder::CScene>(
            CSnapshotBuilder::CScene{settings, nullptr, m_dir.Path().string()});
        job.pFrame = std::make_unique<CSnapshotBuilder::CFrame>();
        job.pFrame->nWidth = nWidth;
        job.pFrame->nHeight = nHeight;
        job.pFrame->rows.resize(job.pFrame->Stride() * std::size_t(nHeight));
        std::uint32_t n = 12345;
        for (auto& b : job.pFrame->rows)
            b = std::uint8_t((n = n * 1103515245u + 12345u) >> 24);
        std::unique_ptr<std::uint8_t[]> pBlock;
        return CSnapshotBuilder::Build(job, state, pBlock);
    };
    ASSERT_GT(build(2600, 2000).nLength, 8 << 20);
    EXPECT_GT(build(64, 48).nLength, 0);
    EXPECT_LT(state.bytes.capacity(), std::size_t(1) << 20);
}

TEST_F(SnapshotBuilder, PixelsARunLengthFrameSkipsAreBlackOnAReusedBitmap)
{
    // A 4x2 RLE8 stand-by picture whose top row is skipped by an end-of-line: those pixels
    // take its first colour and never keep what the previous image left there.
    m_settings.HttpHeaders = 0;
    m_settings.ImageType = 1;
    m_settings.CaptureDevice = -1;
    std::vector<BYTE> header = InfoHeader(4, 2, 8, BI_RLE8, 2);
    const BYTE palette[8] = {0, 0, 0, 0, 0, 0, 255, 0}; // black, red
    header.insert(header.end(), palette, palette + 8);
    const std::vector<BYTE> rle = {4, 1, 0, 0, 0, 1}; // bottom row red, end of line, end
    WriteBytes(m_dir.File("capoff.bmp"), AssembleBmp(header, rle));
    CCaption& c = m_settings.captions[0];
    c.Enabled = 1;
    c.Text = "XXXX";
    c.BackColor = RGB(9, 9, 9);
    const auto first = Build().bytes;
    ASSERT_EQ(BmpSize(first), std::make_pair(4, 2));
    EXPECT_EQ(BmpPixel(first, 0, 0), RGB(9, 9, 9));
    c.Enabled = 0;
    const auto second = Build().bytes;
    EXPECT_EQ(BmpPixel(second, 0, 0), RGB(0, 0, 0));
    EXPECT_EQ(BmpPixel(second, 3, 0), RGB(0, 0, 0));
    EXPECT_EQ(BmpPixel(second, 0, 1), RGB(255, 0, 0));
}
