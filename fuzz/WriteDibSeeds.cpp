// Writes one small BMP file per layout the reader accepts into the folder given.

#include "tests/support/BmpBuilder.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    struct Seed
    {
        const char* pszName;
        CBmpOptions opt;
        int nColors;
    };
    const Seed seeds[] = {
        {"bgr24", {24, BI_RGB, 40, false, 0}, 8},
        {"bgr24_topdown", {24, BI_RGB, 40, true, 0}, 8},
        {"bgr24_v4", {24, BI_RGB, 108, false, 0}, 8},
        {"bgrx32", {32, BI_RGB, 40, false, 0}, 8},
        {"bitfields32_v5", {32, BI_BITFIELDS, 124, false, 0}, 8},
        {"rgb555", {16, BI_RGB, 40, false, 0}, 8},
        {"rgb565", {16, BI_BITFIELDS, 40, true, 0}, 8},
        {"pal8", {8, BI_RGB, 40, false, 0}, 8},
        {"pal4", {4, BI_RGB, 40, false, 0}, 8},
        {"pal1", {1, BI_RGB, 40, false, 0}, 2},
        {"rle8", {8, BI_RLE8, 40, false, 0}, 8},
        {"rle4", {4, BI_RLE4, 40, false, 0}, 8},
    };
    for (const auto& s : seeds)
        WriteBytes(std::string(argv[1]) + "/" + s.pszName + ".bmp",
                   MakeBmp(CTestPicture::Pattern(7, 5, s.nColors), s.opt));
    return 0;
}
