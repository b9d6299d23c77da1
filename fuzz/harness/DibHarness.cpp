// Feeds arbitrary bytes to the BMP reader as a file, then draws whatever loaded into a small
// section in every way the program draws: unscaled, stretched and with a transparent key.

#include "imaging/Dib.h"

#include "fuzz/harness/Harnesses.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace
{
int InputFd()
{
    static const int fd = memfd_create("vistrel-fuzz", 0);
    return fd;
}
} // namespace

int FuzzDib(const std::uint8_t* pData, std::size_t nSize)
{
    const int fd = InputFd();
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, pData, nSize, 0) != ssize_t(nSize))
        return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    CDib dib;
    if (dib.Load(path.c_str()).Length() == 0)
        return 0;

    auto section = CDibSection::Create(37, 23);
    CMemoryDC dc;
    dc.SelectBitmap(section.get());
    const LONG w = LONG(dib.Width());
    const LONG h = LONG(dib.Height());
    dib.Draw(dc);
    dib.Draw(dc, {0, 0, 37, 23}, {0, 0, w, h});
    dib.Draw(dc, {-5, -3, 50, 30}, {0, 0, w, h});
    dib.DrawTransparent(dc, {0, 0, 37, 23}, {0, 0, w, h}, RGB(255, 255, 255));
    dib.BuildPalette();
    return 1;
}
