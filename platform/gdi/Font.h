#pragma once
// Fonts described by the Win32 LOGFONTA record (60 bytes, stored as it is) and turned into Qt
// fonts for measuring and rasterising text. Stored records are untrusted: every field is
// clamped to something drawable.

#include "platform/gdi/GdiTypes.h"

#include <QFont>

#include <cstring>

#pragma pack(push, 1)
struct LOGFONTA
{
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    char lfFaceName[32];
};
#pragma pack(pop)
static_assert(sizeof(LOGFONTA) == 60);
inline bool operator==(const LOGFONTA& a, const LOGFONTA& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

constexpr BYTE DEFAULT_QUALITY = 0;
constexpr BYTE NONANTIALIASED_QUALITY = 3;
constexpr BYTE ANTIALIASED_QUALITY = 4;
constexpr BYTE DEFAULT_CHARSET = 1;
constexpr BYTE FIXED_PITCH = 1;
constexpr BYTE VARIABLE_PITCH = 2;
constexpr LONG FW_NORMAL = 400;

class CFont
{
public:
    // Glyphs are never drawn larger than this many pixels, whatever a stored record says.
    static constexpr int kMaxPixelHeight = 2048;
    static constexpr int kDefaultPixelHeight = 16;

    CFont();
    bool CreateFontIndirect(const LOGFONTA& lf);
    const QFont& QtFont() const { return m_font; }

    // The desktop's general font, described completely.
    static LOGFONTA SystemLogFont();
    // Fills lf from a Qt font (as a font dialog returns it).
    static LOGFONTA LogFontFromQFont(const QFont& font);
    // The face name of a record, read no further than its 32 bytes.
    static QString FaceName(const LOGFONTA& lf);

private:
    QFont m_font;
};
