// Image builds that fail a thousand times in every way they can: never a "200 OK" with a bad
// body, always the 503 answer, and no memory kept from it.

#include "service/SnapshotBuilder.h"

#include "tests/support/BmpBuilder.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{
class CFlakyCapture : public CFrameSource
{
public:
    std::vector<BYTE> frame;
    bool bSave = true;
    bool GrabFrameNoStop() override { return true; }
    bool FileSaveDib(const char* pszFile) override
    {
        if (bSave)
            WriteBytes(pszFile, frame);
        return bSave;
    }
    std::string LastError() const override { return "injected"; }
};

} // namespace

TEST(BuildFailures, AThousandFailedBuildsAnswer503AndKeepNoMemory)
{
    CTempDir dir;
    CSettings settings;
    settings.CaptureDevice = 0;
    CJpegWriter writer;
    CFlakyCapture capture;
    capture.frame = MakeBmp(CTestPicture::Pattern(64, 48));
    std::unique_ptr<CDibSection> cache;
    const CSnapshotBuilder::CInputs in{settings, &capture, nullptr, writer, dir.Path().string(),
                                       &cache};

    auto arrange = [&](int i)
    {
        settings.ImageType = 0;
        settings.UseCustomSize = 0;
        settings.ImageWidth = 160;
        capture.bSave = true;
        capture.frame = MakeBmp(CTestPicture::Pattern(64, 48));
        std::filesystem::remove_all(dir.File("frame.jpg"));
        switch (i % 5)
        {
        case 0: // the frame file cannot be written
            capture.bSave = false;
            break;
        case 1: // the frame file is not a bitmap
            capture.frame = {'j', 'u', 'n', 'k'};
            break;
        case 2: // the encoder fails on an empty image
            settings.UseCustomSize = 1;
            settings.ImageWidth = 0;
            break;
        case 3: // "frame.jpg" cannot be written or read
            std::filesystem::create_directories(dir.File("frame.jpg"));
            break;
        default: // an absurd size
            settings.UseCustomSize = 1;
            settings.ImageWidth = 70000 + i;
            break;
        }
    };
    auto build = [&](int i)
    {
        arrange(i);
        std::unique_ptr<std::uint8_t[]> block;
        const auto r = CSnapshotBuilder::Build(in, block, true);
        const std::string text(reinterpret_cast<const char*>(block.get()), std::size_t(r.nLength));
        EXPECT_TRUE(r.bFailed) << i;
        EXPECT_EQ(text.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << i;
        EXPECT_EQ(text.find("200 OK"), std::string::npos);
    };
    for (int i = 0; i < 50; ++i) // settle allocator pools first
        build(i);
    const long before = ResidentKiB(getpid());
    for (int i = 0; i < 1000; ++i)
        build(i);
    const long after = ResidentKiB(getpid());
    if (kResidentMemoryIsMeaningful)
    {
        EXPECT_LT(after - before, 1024) << before << " KiB before, " << after << " KiB after";
    }
}
