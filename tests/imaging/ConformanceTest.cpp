// One file for each known bug class of BMP readers: each is refused or drawn with defined
// pixels, without much memory, and (in the sanitizer build) without a report.

#include "imaging/Dib.h"

#include "tests/support/BmpBuilder.h"
#include "tests/support/TempDir.h"

#include <climits>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
#ifdef VISTREL_SANITIZED_BUILD
constexpr double kScale = 10;
#else
constexpr double kScale = 1;
#endif

struct CCase
{
    const char* pszName;
    std::vector<BYTE> bytes;
};

std::vector<BYTE> Header(LONG w, LONG h, WORD bits, DWORD compression, DWORD used = 0)
{
    return InfoHeader(w, h, bits, compression, used);
}

std::vector<BYTE> Palette(int n)
{
    std::vector<BYTE> p;
    for (int i = 0; i < n; ++i)
        p.insert(p.end(), {BYTE(i), BYTE(i * 2), BYTE(i * 3), 0});
    return p;
}

std::vector<BYTE> WithMasks(std::uint32_t r, std::uint32_t g, std::uint32_t b, WORD bits)
{
    auto h = Header(4, 2, bits, BI_BITFIELDS);
    for (std::uint32_t m : {r, g, b})
        for (int i = 0; i < 4; ++i)
            h.push_back(BYTE(m >> (8 * i)));
    return h;
}

std::vector<CCase> Cases()
{
    std::vector<CCase> c;
    auto add = [&](const char* n, const std::vector<BYTE>& header, const std::vector<BYTE>& pixels)
    {
        c.push_back({n, AssembleBmp(header, pixels)});
    };
    add("w*h*bits beyond 32 bits", Header(40000, 40000, 32, BI_RGB), std::vector<BYTE>(64, 1));
    add("height INT_MIN", Header(4, LONG(INT_MIN), 24, BI_RGB), std::vector<BYTE>(64, 1));
    add("zero width", Header(0, 4, 24, BI_RGB), std::vector<BYTE>(64, 1));
    add("negative width", Header(-4, 4, 24, BI_RGB), std::vector<BYTE>(64, 1));
    add("colours used 2^31", Header(4, 4, 8, BI_RGB, 0x80000000u), std::vector<BYTE>(64, 1));
    {
        auto h = Header(4, 2, 8, BI_RGB, 2);
        auto pal = Palette(2);
        h.insert(h.end(), pal.begin(), pal.end());
        add("palette index beyond the table", h, std::vector<BYTE>(8, 200));
    }
    {
        auto h = Header(4, 2, 4, BI_RGB, 17);
        auto pal = Palette(17);
        h.insert(h.end(), pal.begin(), pal.end());
        add("4-bit palette of 17 entries", h, std::vector<BYTE>(8, 0xFF));
    }
    add("masks all ones", WithMasks(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 32),
        std::vector<BYTE>(32, 0x5A));
    add("masks zero", WithMasks(0, 0, 0, 32), std::vector<BYTE>(32, 0x5A));
    add("masks overlapping", WithMasks(0xFF00, 0x0FF0, 0x00FF, 16), std::vector<BYTE>(16, 0x5A));
    add("masks not contiguous", WithMasks(0x8001, 0x4002, 0x2004, 16), std::vector<BYTE>(16, 0x5A));
    {
        auto h = Header(4, 2, 8, BI_RLE8, 4);
        auto pal = Palette(4);
        h.insert(h.end(), pal.begin(), pal.end());
        add("RLE run past the row", h, {200, 1, 0, 0, 4, 2, 0, 1});
        add("RLE delta past the image", h, {0, 2, 255, 255, 0, 1});
        add("RLE without end of bitmap", h, {4, 1, 0, 0, 4, 2});
        add("RLE absolute run past its data", h, {0, 200, 1, 2});
        auto td = Header(4, -2, 8, BI_RLE8, 4);
        td.insert(td.end(), pal.begin(), pal.end());
        add("top-down RLE", td, {4, 1, 0, 0, 4, 2, 0, 1});
        auto bomb = Header(30000, 30000, 8, BI_RLE8, 4);
        bomb.insert(bomb.end(), pal.begin(), pal.end());
        add("RLE claiming 900 million pixels", bomb, {0, 1});
        auto big = Header(5000, 5000, 8, BI_RLE8, 4);
        big.insert(big.end(), pal.begin(), pal.end());
        add("RLE of 25 million pixels from 2 bytes", big, {0, 1});
    }
    {
        auto f = MakeBmp(CTestPicture::Pattern(4, 4));
        WriteLE32(&f[10], DWORD(f.size() + 100));
        c.push_back({"pixel offset beyond the end", f});
        auto g = MakeBmp(CTestPicture::Pattern(4, 4));
        WriteLE32(&g[10], 30);
        c.push_back({"pixel offset inside the header", g});
        auto t = MakeBmp(CTestPicture::Pattern(4, 4));
        t.resize(t.size() - 5);
        c.push_back({"truncated pixels", t});
        auto s = MakeBmp(CTestPicture::Pattern(4, 4));
        s.resize(14);
        c.push_back({"a 14-byte file", s});
    }
    return c;
}

// The cases read as pictures (with what is missing or out of range drawn in defined
// colours); every other one is refused.
const std::set<std::string> kDrawn = {"palette index beyond the table",
                                      "4-bit palette of 17 entries",
                                      "masks all ones",
                                      "masks zero",
                                      "masks overlapping",
                                      "masks not contiguous",
                                      "RLE run past the row",
                                      "RLE of 25 million pixels from 2 bytes"};

// Loads and draws the file in a child process, which a hang of a minute ends: whether it
// exited, with 1 for a picture drawn, and its peak memory.
struct COutcome
{
    bool bExited = false;
    int nStatus = -1;
    long nPeakKiB = 0;
};

COutcome Try(const std::string& path)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        alarm(60);
        CDib dib;
        const auto r = dib.Load(path.c_str());
        if (r.Length() > 0)
        {
            auto section = CDibSection::Create(64, 48);
            CMemoryDC dc;
            dc.SelectBitmap(section.get());
            const RECT src{0, 0, LONG(dib.Width()), LONG(dib.Height())};
            dib.Draw(dc, {0, 0, 64, 48}, src);
            dib.DrawTransparent(dc, {0, 0, 64, 48}, src, 0);
            dib.Draw(dc);
        }
        _exit(r.Length() > 0 ? 1 : 0);
    }
    COutcome o;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    o.bExited = WIFEXITED(status);
    o.nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.nPeakKiB = usage.ru_maxrss;
    return o;
}
} // namespace

TEST(BmpConformance, EveryBugClassIsRefusedOrDrawnSafely)
{
    CTempDir dir;
    for (const CCase& c : Cases())
    {
        SCOPED_TRACE(c.pszName);
        const std::string path = dir.File("case.bmp");
        WriteBytes(path, c.bytes);
        const COutcome o = Try(path);
        ASSERT_TRUE(o.bExited) << "the reader crashed or hung";
        // Refused, or drawn: each the way it is meant to go.
        EXPECT_EQ(o.nStatus, kDrawn.count(c.pszName) != 0 ? 1 : 0);
        EXPECT_LT(o.nPeakKiB, 64 * 1024 * kScale) << o.nPeakKiB << " KiB";
    }
}
