#include "imaging/Dib.h"

#include <filesystem>
#include <gtest/gtest.h>

TEST(DibCorpus, EveryKeptInputLoadsOrIsRefusedAndDrawsInBounds)
{
    int nFiles = 0;
    int nLoaded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VISTREL_DIB_CORPUS))
    {
        SCOPED_TRACE(entry.path().string());
        CDib dib;
        const auto result = dib.Load(entry.path().c_str());
        ASSERT_TRUE(result.Opened());
        ++nFiles;
        if (result.Length() == 0)
        {
            EXPECT_TRUE(dib.IsEmpty());
            continue;
        }
        ++nLoaded;
        EXPECT_EQ(result.Length(), std::filesystem::file_size(entry.path()));
        auto section = CDibSection::Create(37, 23);
        CMemoryDC dc;
        dc.SelectBitmap(section.get());
        const RECT src{0, 0, LONG(dib.Width()), LONG(dib.Height())};
        dib.Draw(dc);
        dib.Draw(dc, {0, 0, 37, 23}, src);
        dib.Draw(dc, {-5, -3, 50, 30}, src);
        dib.DrawTransparent(dc, {0, 0, 37, 23}, src, RGB(255, 255, 255));
    }
    EXPECT_GT(nFiles, 10);
    EXPECT_GT(nLoaded, 5);
}
