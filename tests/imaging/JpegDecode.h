#pragma once
// Decodes a JPEG file with libjpeg for checks on what the writer produced.

#include <cstdint>
#include <string>
#include <vector>

struct CDecodedJpeg
{
    bool bOk = false;
    int nWidth = 0;
    int nHeight = 0;
    int nComponents = 0;
    bool bJfif = false;
    int nJfifMajor = 0;
    int nJfifMinor = 0;
    int nDensityUnit = -1;
    int nXDensity = 0;
    int nYDensity = 0;
    bool bProgressive = false;
    bool bArithmetic = false;
    int hSamp[3] = {0, 0, 0};
    int vSamp[3] = {0, 0, 0};
    int nLumaQuant0 = 0;           // first entry of the luminance quantisation table
    std::vector<int> lumaQuant;    // the whole table, in natural order
    std::vector<std::uint8_t> rgb; // top row first, 3 bytes a pixel

    std::uint32_t PixelRgb(int x, int y) const
    {
        const std::size_t o = (std::size_t(y) * nWidth + x) * 3;
        return (std::uint32_t(rgb[o]) << 16) | (std::uint32_t(rgb[o + 1]) << 8) | rgb[o + 2];
    }
};

CDecodedJpeg DecodeJpegFile(const std::string& strPath);
CDecodedJpeg DecodeJpegBytes(const std::vector<std::uint8_t>& bytes);
// The luminance quantisation table libjpeg makes for a quality (baseline), in natural order.
std::vector<int> LumaQuantForQuality(int nQuality);
