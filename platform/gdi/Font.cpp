#include "platform/gdi/Font.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>

#include <algorithm>
#include <cstring>

CFont::CFont() : m_font(QFontDatabase::systemFont(QFontDatabase::GeneralFont)) {}

QString CFont::FaceName(const LOGFONTA& lf)
{
    return QString::fromUtf8(lf.lfFaceName,
                             qsizetype(strnlen(lf.lfFaceName, sizeof lf.lfFaceName)));
}

bool CFont::CreateFontIndirect(const LOGFONTA& lf)
{
    QFont font;
    const QString face = FaceName(lf);
    if (!face.isEmpty())
        font.setFamily(face);

    // Negative heights are character heights in pixels; positive ones are cell heights
    // (ascent plus descent), which are scaled to a character height here.
    const std::int64_t nHeight = lf.lfHeight;
    int nPixels = kDefaultPixelHeight;
    if (nHeight != 0)
        nPixels =
            int(std::clamp<std::int64_t>(nHeight < 0 ? -nHeight : nHeight, 1, kMaxPixelHeight));
    font.setPixelSize(nPixels);
    if (nHeight > 0)
    {
        const int nCell = QFontMetrics(font).height();
        if (nCell > 0)
            font.setPixelSize(
                std::clamp(int(std::int64_t(nPixels) * nPixels / nCell), 1, kMaxPixelHeight));
    }

    const LONG nWeight = lf.lfWeight == 0 ? FW_NORMAL : std::clamp<LONG>(lf.lfWeight, 1, 1000);
    font.setWeight(QFont::Weight(nWeight));
    font.setItalic(lf.lfItalic != 0);
    font.setUnderline(lf.lfUnderline != 0);
    font.setStrikeOut(lf.lfStrikeOut != 0);
    font.setStyleStrategy(lf.lfQuality == NONANTIALIASED_QUALITY ? QFont::NoAntialias
                                                                 : QFont::PreferAntialias);
    m_font = font;
    return true;
}

LOGFONTA CFont::LogFontFromQFont(const QFont& font)
{
    LOGFONTA lf;
    std::memset(&lf, 0, sizeof lf);
    const QFontInfo info(font);
    lf.lfHeight = -LONG(info.pixelSize());
    lf.lfWeight = LONG(info.weight());
    lf.lfItalic = info.italic() ? 1 : 0;
    lf.lfUnderline = font.underline() ? 1 : 0;
    lf.lfStrikeOut = font.strikeOut() ? 1 : 0;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality =
        (font.styleStrategy() & QFont::NoAntialias) ? NONANTIALIASED_QUALITY : DEFAULT_QUALITY;
    lf.lfPitchAndFamily = info.fixedPitch() ? FIXED_PITCH : VARIABLE_PITCH;
    // Keep the name within 31 bytes without cutting a UTF-8 sequence in half.
    const QByteArray name = info.family().toUtf8();
    qsizetype n = std::min<qsizetype>(name.size(), sizeof lf.lfFaceName - 1);
    while (n > 0 && n < name.size() && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
        --n;
    std::memcpy(lf.lfFaceName, name.constData(), std::size_t(n));
    return lf;
}

LOGFONTA CFont::SystemLogFont()
{
    return LogFontFromQFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
}
