// Image builds that fail a thousand times in every way they can: never a "200 OK" with a bad
// body, always the 503 answer, and no memory kept from it.

#include "service/SnapshotService.h"

#include "tests/support/BmpBuilder.h"
#include "tests/support/NetClient.h"
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
    CFrameBuffer frame;
    bool GrabFrameNoStop() override { return true; }
    const CFrameBuffer& Frame() const override { return frame; }
    std::string LastError() const override { return "injected"; }
};

} // namespace

TEST(BuildFailures, AThousandFailedBuildsAnswer503AndKeepNoMemory)
{
    CTempDir dir;
    CSettings settings;
    settings.CaptureDevice = 0;
    CFlakyCapture capture;
    CSnapshotService service(settings);
    service.SetFrameSource(&capture);
    service.SetWorkingDirectory(dir.Path().string());

    auto arrange = [&](int i)
    {
        settings.ImageType = 0;
        settings.UseCustomSize = 0;
        settings.ImageWidth = 160;
        capture.frame.Resize(64, 48);
        for (const char* pszFile : {"frame.jpg", "capframe.bmp"})
            std::filesystem::remove_all(dir.File(pszFile));
        switch (i % 5)
        {
        case 0: // the frame file cannot be written
            std::filesystem::create_directories(dir.File("capframe.bmp"));
            break;
        case 1: // the frame file is a link somebody planted
            std::filesystem::create_symlink(dir.File("elsewhere"), dir.File("capframe.bmp"));
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
        std::string text;
        bool bDone = false;
        service.BuildSnapshotLater(
            [&](int nLength, std::unique_ptr<std::uint8_t[]> block)
            {
                text.assign(reinterpret_cast<const char*>(block.get()), std::size_t(nLength));
                bDone = true;
            });
        EXPECT_TRUE(PumpUntil([&] { return bDone; }, 5000)) << i;
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
