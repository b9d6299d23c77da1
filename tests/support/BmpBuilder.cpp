#include "tests/support/BmpBuilder.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

const std::vector<COLORREF>& CTestPicture::PureColors()
{
    static const std::vector<COLORREF> colors = {
        RGB(0, 0, 0),     RGB(255, 0, 0),   RGB(0, 255, 0),   RGB(0, 0, 255),
        RGB(255, 255, 0), RGB(0, 255, 255), RGB(255, 0, 255), RGB(255, 255, 255)};
    return colors;
}

CTestPicture CTestPicture::Solid(int nWidth, int nHeight, COLORREF color)
{
    CTestPicture pic;
    pic.nWidth = nWidth;
    pic.nHeight = nHeight;
    pic.pixels.assign(std::size_t(nWidth) * std::size_t(nHeight), color);
    return pic;
}

CTestPicture CTestPicture::Pattern(int nWidth, int nHeight, int nColors)
{
    CTestPicture pic;
    pic.nWidth = nWidth;
    pic.nHeight = nHeight;
    for (int y = 0; y < nHeight; ++y)
        for (int x = 0; x < nWidth; ++x)
            pic.pixels.push_back(PureColors()[std::size_t((x * 3 + y * 5 + (x / 3)) % nColors)]);
    return pic;
}

namespace
{
void Put16(std::vector<BYTE>& v, std::uint16_t n)
{
    v.push_back(BYTE(n));
    v.push_back(BYTE(n >> 8));
}
void Put32(std::vector<BYTE>& v, std::uint32_t n)
{
    for (int i = 0; i < 4; ++i)
        v.push_back(BYTE(n >> (8 * i)));
}
int PaletteIndex(COLORREF c)
{
    const auto& pal = CTestPicture::PureColors();
    return int(std::find(pal.begin(), pal.end(), c) - pal.begin());
}
} // namespace

std::vector<BYTE> InfoHeader(LONG nWidth, LONG nHeight, WORD nBits, DWORD nCompression,
                             DWORD nColorsUsed)
{
    std::vector<BYTE> h;
    Put32(h, 40);
    Put32(h, DWORD(nWidth));
    Put32(h, DWORD(nHeight));
    Put16(h, 1);
    Put16(h, nBits);
    Put32(h, nCompression);
    Put32(h, 0);
    Put32(h, 0);
    Put32(h, 0);
    Put32(h, nColorsUsed);
    Put32(h, 0);
    return h;
}

std::vector<BYTE> AssembleBmp(const std::vector<BYTE>& headerArea, const std::vector<BYTE>& pixels)
{
    std::vector<BYTE> f;
    f.push_back('B');
    f.push_back('M');
    Put32(f, DWORD(14 + headerArea.size() + pixels.size()));
    Put32(f, 0);
    Put32(f, DWORD(14 + headerArea.size()));
    f.insert(f.end(), headerArea.begin(), headerArea.end());
    f.insert(f.end(), pixels.begin(), pixels.end());
    return f;
}

std::vector<BYTE> MakeBmp(const CTestPicture& pic, const CBmpOptions& opt)
{
    const int w = pic.nWidth;
    const int h = pic.nHeight;
    std::vector<BYTE> area =
        InfoHeader(w, opt.bTopDown ? -h : h, WORD(opt.nBits), opt.nCompression, opt.nColorsUsed);
    area[0] = BYTE(opt.nHeaderSize);
    area.resize(opt.nHeaderSize, 0);

    std::uint32_t masks[3] = {0, 0, 0};
    if (opt.nCompression == BI_BITFIELDS)
    {
        if (opt.nBits == 16)
        {
            masks[0] = 0xF800;
            masks[1] = 0x07E0;
            masks[2] = 0x001F;
        }
        else
        {
            masks[0] = 0x00FF0000;
            masks[1] = 0x0000FF00;
            masks[2] = 0x000000FF;
        }
        std::vector<BYTE> m;
        for (auto mask : masks)
            Put32(m, mask);
        if (opt.nHeaderSize == 40)
            area.insert(area.end(), m.begin(), m.end());
        else
            std::copy(m.begin(), m.end(), area.begin() + 40);
    }
    if (opt.nBits <= 8)
    {
        const int nEntries = opt.nColorsUsed ? int(opt.nColorsUsed) : (1 << opt.nBits);
        for (int i = 0; i < nEntries; ++i)
        {
            const COLORREF c = i < 8 ? CTestPicture::PureColors()[std::size_t(i)] : RGB(1, 2, 3);
            area.push_back(GetBValue(c));
            area.push_back(GetGValue(c));
            area.push_back(GetRValue(c));
            area.push_back(0);
        }
    }

    std::vector<BYTE> px;
    auto rowOf = [&](int nStored)
    {
        return opt.bTopDown ? nStored : h - 1 - nStored;
    };
    if (opt.nCompression == BI_RLE8 || opt.nCompression == BI_RLE4)
    {
        for (int s = 0; s < h; ++s)
        {
            const int y = rowOf(s);
            for (int x = 0; x < w;)
            {
                const int idx = PaletteIndex(pic.At(x, y));
                int n = 1;
                while (x + n < w && n < 255 && PaletteIndex(pic.At(x + n, y)) == idx)
                    ++n;
                px.push_back(BYTE(n));
                px.push_back(opt.nCompression == BI_RLE8 ? BYTE(idx) : BYTE(idx << 4 | idx));
                x += n;
            }
            px.push_back(0);
            px.push_back(s == h - 1 ? 1 : 0);
        }
        return AssembleBmp(area, px);
    }

    const std::size_t nStride = std::size_t((w * opt.nBits + 31) / 32 * 4);
    for (int s = 0; s < h; ++s)
    {
        const int y = rowOf(s);
        std::vector<BYTE> row(nStride, 0);
        for (int x = 0; x < w; ++x)
        {
            const COLORREF c = pic.At(x, y);
            const int idx = PaletteIndex(c);
            switch (opt.nBits)
            {
            case 1:
                row[std::size_t(x / 8)] |= BYTE((idx & 1) << (7 - x % 8));
                break;
            case 4:
                row[std::size_t(x / 2)] |= BYTE(x % 2 ? idx : idx << 4);
                break;
            case 8:
                row[std::size_t(x)] = BYTE(idx);
                break;
            case 16:
            {
                std::uint16_t v;
                if (opt.nCompression == BI_BITFIELDS)
                    v = std::uint16_t((GetRValue(c) * 31 / 255) << 11 |
                                      (GetGValue(c) * 63 / 255) << 5 | (GetBValue(c) * 31 / 255));
                else
                    v = std::uint16_t((GetRValue(c) * 31 / 255) << 10 |
                                      (GetGValue(c) * 31 / 255) << 5 | (GetBValue(c) * 31 / 255));
                row[std::size_t(2 * x)] = BYTE(v);
                row[std::size_t(2 * x + 1)] = BYTE(v >> 8);
                break;
            }
            case 24:
            case 32:
            {
                const std::size_t o = std::size_t(x) * std::size_t(opt.nBits / 8);
                row[o] = GetBValue(c);
                row[o + 1] = GetGValue(c);
                row[o + 2] = GetRValue(c);
                break;
            }
            default:
                throw std::invalid_argument("bits");
            }
        }
        px.insert(px.end(), row.begin(), row.end());
    }
    return AssembleBmp(area, px);
}

void WriteBytes(const std::string& strPath, const std::vector<BYTE>& bytes)
{
    std::ofstream f(strPath, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<BYTE> ReadBytes(const std::string& strPath)
{
    std::ifstream f(strPath, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
