#include "platform/capture/TestPatternDriver.h"

#include <QFont>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <vector>

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

bool CTestPatternDriver::Grab(CFrameBuffer& frame, std::string& strError)
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

void CTestPatternDriver::RenderBackground(int w, int h) const
{
    if (m_background.Width() == w && m_background.Height() == h && m_backgroundPattern == m_pattern)
        return;
    m_background.Resize(w, h);
    m_backgroundPattern = m_pattern;
    CFrameBuffer& frame = m_background;
    const std::size_t nRow = std::size_t(w) * 3;
    // Each pattern is made of a few row templates copied down the picture.
    std::vector<std::uint8_t> even(nRow);
    std::vector<std::uint8_t> odd(nRow);
    for (int x = 0; x < w; ++x)
    {
        std::uint8_t* e = &even[3 * std::size_t(x)];
        std::uint8_t* o = &odd[3 * std::size_t(x)];
        switch (m_pattern)
        {
        case ColourBars:
        {
            const auto* c = kBars[std::min(7, x * 8 / w)];
            e[0] = c[0];
            e[1] = c[1];
            e[2] = c[2];
            break;
        }
        case Gradient:
            e[0] = std::uint8_t(255 - x * 255 / std::max(1, w - 1));
            e[1] = 0;
            e[2] = std::uint8_t(x * 255 / std::max(1, w - 1));
            break;
        case Checkerboard:
            e[0] = e[1] = e[2] = ((x / 32) & 1) ? 230 : 25;
            o[0] = o[1] = o[2] = ((x / 32) & 1) ? 25 : 230;
            break;
        }
    }
    for (int y = 0; y < h; ++y)
    {
        std::uint8_t* row = frame.Row(y);
        const bool bOddBand = m_pattern == Checkerboard && ((y / 32) & 1);
        std::memcpy(row, bOddBand ? odd.data() : even.data(), nRow);
        if (m_pattern == Gradient)
        {
            const auto g = std::uint8_t(y * 255 / std::max(1, h - 1));
            for (std::size_t i = 1; i < nRow; i += 3)
                row[i] = g;
        }
    }
}

void CTestPatternDriver::Render(CFrameBuffer& frame, std::uint64_t nFrame) const
{
    const int w = frame.Width();
    const int h = frame.Height();
    RenderBackground(w, h);
    const int nText = std::max(8, h / 16);
    const int nBox = std::min(h, nText * 2); // the label's rows at the bottom, drawn whole

    // When nothing has written to this buffer since the last frame drawn into it, it differs
    // from the background only under that frame's bar and label: putting back the bar's
    // columns is enough (the label's rows are drawn over whole). Otherwise, all of it.
    const bool bOnlyMovingParts = m_last.pFrame == &frame &&
                                  m_last.nGeneration == frame.Generation() && m_last.w == w &&
                                  m_last.h == h && m_last.pattern == m_pattern;
    if (bOnlyMovingParts)
    {
        const std::size_t nFrom = 3 * std::size_t(m_last.x0);
        const std::size_t nBytes = 3 * std::size_t(m_last.x1 - m_last.x0);
        for (int y = 0; y < h - nBox; ++y)
            std::memcpy(frame.Row(y) + nFrom, m_background.Row(y) + nFrom, nBytes);
    }
    else
        std::memcpy(frame.Data(), m_background.Data(), std::size_t(w) * std::size_t(h) * 3);

    // A bar that sweeps across the picture, one step per frame.
    const int nBar = std::max(2, w / 40);
    const int x0 = int((nFrame * std::uint64_t(std::max(1, w / 64))) % std::uint64_t(w));
    const int x1 = std::min(w, x0 + nBar);
    for (int y = 0; y < h; ++y)
        std::memset(frame.Row(y) + 3 * std::size_t(x0), 255, 3 * std::size_t(x1 - x0));

    // The label is painted into a small image of the painter's fastest format, then copied in.
    QImage label(w, nBox, QImage::Format_RGB32);
    label.fill(QColor(0, 0, 0));
    {
        QPainter painter(&label);
        QFont font(QStringLiteral("DejaVu Sans Mono"));
        font.setPixelSize(nText);
        painter.setFont(font);
        painter.setPen(QColor(255, 255, 255));
        painter.drawText(label.rect(), Qt::AlignCenter,
                         QStringLiteral("Test Pattern %1x%2  #%3")
                             .arg(w)
                             .arg(h)
                             .arg(qulonglong(nFrame), 6, 10, QLatin1Char('0')));
    }
    for (int y = 0; y < nBox; ++y)
    {
        const auto* src = reinterpret_cast<const QRgb*>(label.constScanLine(y));
        std::uint8_t* dst = frame.Row(h - nBox + y);
        for (int x = 0; x < w; ++x, dst += 3)
        {
            dst[0] = std::uint8_t(qBlue(src[x]));
            dst[1] = std::uint8_t(qGreen(src[x]));
            dst[2] = std::uint8_t(qRed(src[x]));
        }
    }
    m_last = {&frame, frame.Generation(), w, h, m_pattern, x0, x1};
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

CCaptureState CTestPatternDriver::ChosenState() const
{
    CCaptureState state;
    state.nWidth = m_nWidth;
    state.nHeight = m_nHeight;
    state.controls[kPatternControl] = m_pattern;
    return state;
}

void CTestPatternDriver::Restore(const CCaptureState& state)
{
    std::string ignored;
    if (state.nWidth > 0)
        SetFormat({state.nWidth, state.nHeight, 0, {}}, ignored);
    for (const auto& [nId, nValue] : state.controls)
        SetControl(nId, nValue, ignored);
}
