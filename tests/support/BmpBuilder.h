#pragma once
// Builds BMP files in memory from a reference picture, in every layout the reader accepts,
// so that tests can check that each one draws the same pixels.

#include "platform/gdi/GdiTypes.h"

#include <cstdint>
#include <string>
#include <vector>

struct CTestPicture
{
    int nWidth = 0;
    int nHeight = 0;
    std::vector<COLORREF> pixels; // top row first

    COLORREF At(int x, int y) const { return pixels[std::size_t(y) * nWidth + x]; }
    // An odd-sized picture of the eight pure colours (exact in every bit depth).
    static CTestPicture Pattern(int nWidth, int nHeight, int nColors = 8);
    // A picture of one colour.
    static CTestPicture Solid(int nWidth, int nHeight, COLORREF color);
    static const std::vector<COLORREF>& PureColors();
};

struct CBmpOptions
{
    int nBits = 24;
    DWORD nCompression = BI_RGB;
    DWORD nHeaderSize = 40;
    bool bTopDown = false;
    DWORD nColorsUsed = 0;
};

std::vector<BYTE> MakeBmp(const CTestPicture& pic, const CBmpOptions& opt = {});
// Assembles a file from raw parts: 14-byte file header, the header area, the pixel area.
std::vector<BYTE> AssembleBmp(const std::vector<BYTE>& headerArea, const std::vector<BYTE>& pixels);
// A 40-byte info header.
std::vector<BYTE> InfoHeader(LONG nWidth, LONG nHeight, WORD nBits, DWORD nCompression,
                             DWORD nColorsUsed = 0);
void WriteBytes(const std::string& strPath, const std::vector<BYTE>& bytes);
std::vector<BYTE> ReadBytes(const std::string& strPath);
