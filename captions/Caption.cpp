#include "captions/Caption.h"

#include "platform/registry/RegistryKey.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace
{
// The anchored coordinate on one axis; halvings truncate toward zero.
std::int64_t Place(std::int32_t nType, std::int64_t nLow, std::int64_t nHigh, std::int64_t nSize,
                   std::int32_t nCustom)
{
    switch (nType)
    {
    case 0:
        return nLow;
    case 1:
        return nLow + (nHigh - nLow - nSize) / 2;
    case 2:
        return nHigh - nSize;
    default:
        return nCustom;
    }
}

// glibc pads a conversion to any width written after its flags ("%999999999Y"), and a
// stored caption would then cost gigabytes on every image. Widths are held to what a
// picture could show; everything else in the format is passed on unchanged.
constexpr int kMaxFieldWidth = 1024;

std::string ClampWidths(const std::string& format)
{
    std::string out;
    out.reserve(format.size());
    std::size_t i = 0;
    while (i < format.size())
    {
        const char c = format[i++];
        out += c;
        if (c != '%')
            continue;
        while (i < format.size() && std::strchr("_-0^#", format[i]) != nullptr)
            out += format[i++];
        const std::size_t nDigits = i;
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i])))
            ++i;
        if (i > nDigits)
        {
            const std::string width = format.substr(nDigits, i - nDigits);
            out += width.size() > 4 || std::stoi(width) > kMaxFieldWidth
                       ? std::to_string(kMaxFieldWidth)
                       : width;
        }
        // The conversion, after an E or O modifier when there is one.
        if (i < format.size() && (format[i] == 'E' || format[i] == 'O'))
            out += format[i++];
        if (i < format.size())
            out += format[i++];
    }
    return out;
}

int ClampToInt(std::int64_t v)
{
    return int(std::max<std::int64_t>(INT32_MIN, std::min<std::int64_t>(INT32_MAX, v)));
}
} // namespace

CCaption::CCaption() : FontInfo(CFont::SystemLogFont()) {}

std::string CCaption::ExpandTime(const std::string& strFormat, const std::tm& when)
{
    if (strFormat.empty())
        return {};
    // A trailing marker tells "did not fit" (0) apart from an empty expansion.
    const std::string format = ClampWidths(strFormat) + "|";
    // With widths held, every conversion expands to a bounded length, so this is only a
    // guard: past it the text is shown as stored.
    const std::size_t nMaxBuffer = std::max<std::size_t>(64 << 20, format.size() * 64);
    std::vector<char> buffer(strFormat.size() * 4 + 64);
    for (;;)
    {
        const std::size_t n = std::strftime(buffer.data(), buffer.size(), format.c_str(), &when);
        if (n > 0)
            return std::string(buffer.data(), n - 1);
        if (buffer.size() >= nMaxBuffer)
            return strFormat;
        buffer.resize(buffer.size() * 2);
    }
}

void CCaption::Draw(CMemoryDC& dc, const RECT& rc) const
{
    if (Enabled == 0)
        return;
    const int nSaved = dc.SaveDC();
    CFont font;
    font.CreateFontIndirect(FontInfo);
    dc.SelectFont(&font);
    dc.SetTextColor(TextColor);
    dc.SetBkColor(BackColor);
    dc.SetBkMode(BackType == 0 ? OPAQUE : TRANSPARENT);

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string text = ExpandTime(Text, local);
    const SIZE size = dc.GetTextExtent(text);
    const std::int64_t x = Place(HPosType, rc.left, rc.right, size.cx, XPos);
    const std::int64_t y = Place(VPosType, rc.top, rc.bottom, size.cy, YPos);
    dc.TextOut(ClampToInt(x), ClampToInt(y), text);
    dc.RestoreDC(nSaved);
}

std::string CCaption::KeyName(int nIndex)
{
    char name[32];
    std::snprintf(name, sizeof name, "caption%d", nIndex);
    return name;
}

LONG CCaption::Save(CRegistryKey& parent, int nIndex) const
{
    CRegistryKey key;
    const LONG nStatus = key.CreateSubKey(parent, KeyName(nIndex).c_str());
    if (nStatus != ERROR_SUCCESS)
        return nStatus;
    // Written in this order (alphabetical). The first write that fails is reported back, so
    // a save that did not reach the store does not pass for one that did.
    LONG nFirstFailure = ERROR_SUCCESS;
    auto note = [&](LONG n)
    {
        if (nFirstFailure == ERROR_SUCCESS)
            nFirstFailure = n;
    };
    note(key.SetDword(BackColor, "BackColor"));
    note(key.SetDword(DWORD(BackType), "BackType"));
    note(key.SetDword(DWORD(Enabled), "Enabled"));
    note(key.SetBinary(&FontInfo, sizeof FontInfo, "FontInfo"));
    note(key.SetDword(DWORD(HPosType), "HPosType"));
    note(key.SetString(Text.c_str(), "Text"));
    note(key.SetDword(TextColor, "TextColor"));
    note(key.SetDword(DWORD(VPosType), "VPosType"));
    note(key.SetDword(DWORD(XPos), "XPos"));
    note(key.SetDword(DWORD(YPos), "YPos"));
    key.Close();
    return nFirstFailure;
}

LONG CCaption::Load(CRegistryKey& parent, int nIndex, LONG* pnValueFailure)
{
    CRegistryKey key;
    const LONG nStatus = key.CreateSubKey(parent, KeyName(nIndex).c_str());
    if (nStatus != ERROR_SUCCESS)
        return nStatus;
    // An absent or overlong value keeps its default; the first other failure is handed back.
    auto ok = [&](LONG n)
    {
        if (pnValueFailure != nullptr && *pnValueFailure == ERROR_SUCCESS && n != ERROR_SUCCESS &&
            n != ERROR_FILE_NOT_FOUND && n != ERROR_MORE_DATA)
            *pnValueFailure = n;
        return n == ERROR_SUCCESS;
    };
    auto readInt = [&](std::int32_t& field, const char* pszName)
    {
        DWORD v;
        if (ok(key.QueryDword(&v, pszName)))
            field = std::int32_t(v);
    };
    auto readColor = [&](COLORREF& field, const char* pszName)
    {
        DWORD v;
        if (ok(key.QueryDword(&v, pszName)))
            field = v;
    };
    readColor(BackColor, "BackColor");
    readInt(BackType, "BackType");
    readInt(Enabled, "Enabled");
    LOGFONTA font;
    if (ok(key.QueryBinary(&font, sizeof font, "FontInfo")))
        FontInfo = font;
    readInt(HPosType, "HPosType");
    ok(key.QueryString(Text, "Text"));
    readColor(TextColor, "TextColor");
    readInt(VPosType, "VPosType");
    readInt(XPos, "XPos");
    readInt(YPos, "YPos");
    key.Close();
    return ERROR_SUCCESS;
}
