#include "platform/capture/TestPatternDriver.h"

#include <QFont>
#include <QImage>
#include <QPainter>

#include <algorithm>

namespace
{
struct Size
{
    int w;
    int h;
};
constexpr Size kSizes[] = {{160, 120}, {320, 240},  {640, 480},
                           {800, 600}, {1280, 720}, {1920, 1080}};

// Blue, green, red of the eight classic bars, brightest first.
constexpr std::uint8_t kBars[8][3] = {{235, 235, 235}, {16, 235, 235}, {235, 235, 16},
                                      {16, 235, 16},   {235, 16, 235}, {16, 16, 235},
                                      {235, 16, 16},   {16, 16, 16}};
} // namespace

bool CTestPatternDriver::Open(std::string&)
{
    m_bOpen = true;
    return true;
}

bool CTestPatternDriver::Grab(CFrameBuffer& frame, std::string& strError, int)
{
    if (!m_bOpen)
    {
        strError = "the test pattern is not connected";
        return false;
    }
    if (frame.Width() != m_nWidth || frame.Height() != m_nHeight)
        frame.Resize(m_nWidth, m_nHeight);
    Render(frame, ++m_nFrame);
    return true;
}

void CTestPatternDriver::Render(CFrameBuffer& frame, std::uint64_t nFrame) const
{
    const int w = frame.Width();
    const int h = frame.Height();
    for (int y = 0; y < h; ++y)
    {
        std::uint8_t* p = frame.Row(y);
        for (int x = 0; x < w; ++x, p += 3)
        {
            switch (m_pattern)
            {
            case ColourBars:
            {
                const auto* c = kBars[std::min(7, x * 8 / w)];
                p[0] = c[0];
                p[1] = c[1];
                p[2] = c[2];
                break;
            }
            case Gradient:
                p[0] = std::uint8_t(255 - x * 255 / std::max(1, w - 1));
                p[1] = std::uint8_t(y * 255 / std::max(1, h - 1));
                p[2] = std::uint8_t(x * 255 / std::max(1, w - 1));
                break;
            case Checkerboard:
                p[0] = p[1] = p[2] = ((x / 32 + y / 32) & 1) ? 230 : 25;
                break;
            }
        }
    }
    // A bar that sweeps across the picture, one step per frame.
    const int nBar = std::max(2, w / 40);
    const int x0 = int((nFrame * std::uint64_t(std::max(1, w / 64))) % std::uint64_t(w));
    for (int y = 0; y < h; ++y)
    {
        std::uint8_t* row = frame.Row(y);
        for (int x = x0; x < std::min(w, x0 + nBar); ++x)
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = 255;
    }

    QImage image(frame.Data(), w, h, qsizetype(w) * 3, QImage::Format_BGR888);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPixelSize(std::max(8, h / 16));
    painter.setFont(font);
    const QString text = QStringLiteral("Test Pattern %1x%2  #%3")
                             .arg(w)
                             .arg(h)
                             .arg(qulonglong(nFrame), 6, 10, QLatin1Char('0'));
    const QRect box(0, h - font.pixelSize() * 2, w, font.pixelSize() * 2);
    painter.fillRect(box, QColor(0, 0, 0));
    painter.setPen(QColor(255, 255, 255));
    painter.drawText(box, Qt::AlignCenter, text);
}

std::vector<CCaptureControl> CTestPatternDriver::Controls()
{
    CCaptureControl c;
    c.nId = kPatternControl;
    c.strName = "Pattern";
    c.kind = CCaptureControl::Menu;
    c.nMin = 0;
    c.nMax = 2;
    c.nDefault = ColourBars;
    c.nValue = m_pattern;
    c.menu = {{ColourBars, "Colour bars"}, {Gradient, "Gradient"}, {Checkerboard, "Checkerboard"}};
    return {c};
}

bool CTestPatternDriver::SetControl(std::uint32_t nId, std::int32_t nValue, std::string& strError)
{
    if (nId != kPatternControl || nValue < 0 || nValue > 2)
    {
        strError = "no such pattern";
        return false;
    }
    m_pattern = Pattern(nValue);
    return true;
}

std::vector<CCaptureFormat> CTestPatternDriver::Formats()
{
    std::vector<CCaptureFormat> formats;
    for (const Size& s : kSizes)
        formats.push_back({s.w, s.h, 0, "BGR24"});
    return formats;
}

bool CTestPatternDriver::SetFormat(const CCaptureFormat& format, std::string& strError)
{
    for (const Size& s : kSizes)
        if (s.w == format.nWidth && s.h == format.nHeight)
        {
            m_nWidth = s.w;
            m_nHeight = s.h;
            return true;
        }
    strError = "the test pattern has no such size";
    return false;
}
