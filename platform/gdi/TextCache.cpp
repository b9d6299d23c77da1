#include "platform/gdi/TextCache.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QTextLayout>
#include <QtMath>

CTextCache::CEntry::CEntry() = default;
CTextCache::CEntry::~CEntry() = default;

CTextCache::CEntry& CTextCache::Find(const std::string& strText, const QFont& font)
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
        if (it->strText == strText && it->font == font)
        {
            m_entries.splice(m_entries.begin(), m_entries, it);
            return m_entries.front();
        }
    if (m_entries.size() >= m_nEntries && !m_entries.empty())
        m_entries.pop_back();
    CEntry& e = m_entries.emplace_front();
    e.strText = strText;
    e.font = font;
    e.pLayout = std::make_unique<QTextLayout>(
        QString::fromUtf8(strText.data(), qsizetype(strText.size())), font);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    e.pLayout->setTextOption(option);
    e.pLayout->setCacheEnabled(true);
    e.pLayout->beginLayout();
    QTextLine line = e.pLayout->createLine();
    if (line.isValid())
        line.setLineWidth(1e9);
    e.pLayout->endLayout();
    const QFontMetrics metrics(font);
    e.size = SIZE{LONG(line.isValid() ? qCeil(line.naturalTextWidth()) : 0),
                  LONG(metrics.ascent() + metrics.descent())};
    return e;
}

bool CTextCache::Rasterise(CEntry& e)
{
    if (e.bMasked)
        return true;
    const std::size_t w = std::size_t(std::max<LONG>(e.size.cx, 0));
    const std::size_t h = std::size_t(std::max<LONG>(e.size.cy, 0));
    if (w == 0 || h == 0 || w * h > kMaxMaskPixels)
        return false;
    e.nStride = (w + 3) & ~std::size_t(3);
    e.mask.assign(e.nStride * h, 0);
    QImage mask(e.mask.data(), int(w), int(h), qsizetype(e.nStride), QImage::Format_Alpha8);
    {
        QPainter painter(&mask);
        painter.setPen(Qt::black);
        // The layout's line starts at the top of the cell.
        e.pLayout->draw(&painter, QPointF(0, 0));
    }
    e.bMasked = true;
    return true;
}
