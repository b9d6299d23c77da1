#include "platform/ui/DialogTemplate.h"

#include "platform/ui/AutoRadioButton.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <algorithm>

CDialogUnits::CDialogUnits(const QFont& font)
{
    const QFontMetrics m(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_nBaseX = std::max(1, (m.horizontalAdvance(letters) / 26 + 1) / 2);
    m_nBaseY = std::max(1, m.height());
}

QRect CDialogUnits::ToPixels(int x, int y, int cx, int cy) const
{
    return QRect(X(x), Y(y), X(cx), Y(cy));
}

namespace
{
bool TakesNoInput(CtrlKind kind)
{
    return kind == CtrlKind::Static || kind == CtrlKind::GroupBox || kind == CtrlKind::BlackFrame ||
           kind == CtrlKind::Icon;
}
} // namespace

std::vector<QWidget*> CTemplateBuilder::Build(const CDlgTemplate& t, QWidget* pParent)
{
    const CDialogUnits units(pParent->font());
    std::vector<QWidget*> widgets;
    std::vector<QRect> designed; // each control's rectangle before any growth
    std::vector<QRect> placed;
    QButtonGroup* pGroup = nullptr;
    QWidget* pPrevious = nullptr;
    int nRight = units.X(t.cx);
    int nBottom = units.Y(t.cy);
    for (const CDlgItem& item : t.items)
    {
        const QString text = QString::fromUtf8(item.pszText ? item.pszText : "");
        QWidget* w = nullptr;
        switch (item.kind)
        {
        case CtrlKind::CheckBox:
            w = new QCheckBox(text, pParent);
            break;
        case CtrlKind::RadioButton:
        {
            auto* r = new CAutoRadioButton(text, pParent);
            if ((item.nStyle & WS_GROUP) || pGroup == nullptr)
            {
                pGroup = new QButtonGroup(pParent);
                pGroup->setExclusive(false); // so that "no button checked" can be shown
            }
            pGroup->addButton(r);
            QObject::connect(r, &QRadioButton::toggled, r,
                             [r, g = pGroup](bool bOn)
                             {
                                 if (!bOn)
                                     return;
                                 for (QAbstractButton* b : g->buttons())
                                     if (b != r)
                                         b->setChecked(false);
                             });
            w = r;
            break;
        }
        case CtrlKind::Edit:
        {
            auto* e = new QLineEdit(pParent);
            e->setText(text);
            w = e;
            break;
        }
        case CtrlKind::GroupBox:
            w = new QGroupBox(text, pParent);
            break;
        case CtrlKind::PushButton:
        case CtrlKind::DefPushButton:
        case CtrlKind::OwnerDrawButton:
        {
            auto* b =
                new QPushButton(item.kind == CtrlKind::OwnerDrawButton ? QString() : text, pParent);
            b->setAutoDefault(false);
            b->setDefault(item.kind == CtrlKind::DefPushButton);
            w = b;
            break;
        }
        case CtrlKind::Static:
            w = new QLabel(text, pParent);
            break;
        case CtrlKind::BlackFrame:
        {
            auto* f = new QFrame(pParent);
            f->setFrameShape(QFrame::Box);
            w = f;
            break;
        }
        case CtrlKind::Trackbar:
        {
            auto* t = new QSlider(Qt::Horizontal, pParent);
            t->setRange(0, 100); // the control's default range
            w = t;
            break;
        }
        case CtrlKind::Icon:
        {
            auto* l = new QLabel(pParent);
            l->setPixmap(QApplication::windowIcon().pixmap(units.X(item.cx), units.Y(item.cy)));
            w = l;
            break;
        }
        }
        if (auto* pLabel = qobject_cast<QLabel*>(w); pLabel && (item.nStyle & SS_CENTERIMAGE))
            pLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        if (item.kind != CtrlKind::RadioButton && (item.nStyle & WS_GROUP))
            pGroup = nullptr;
        w->setObjectName(QStringLiteral("ctrl%1").arg(item.nId));
        w->setProperty("ctrlId", item.nId);
        QRect r = units.ToPixels(item.x, item.y, item.cx, item.cy);
        // A text never shows cut: the control grows to fit it, keeping its place.
        const QSize hint = w->sizeHint();
        const bool bTextual = item.kind == CtrlKind::CheckBox ||
                              item.kind == CtrlKind::RadioButton || item.kind == CtrlKind::Static ||
                              item.kind == CtrlKind::PushButton ||
                              item.kind == CtrlKind::DefPushButton;
        if (bTextual && !text.isEmpty())
        {
            r.setWidth(std::max(r.width(), hint.width()));
            r.setHeight(std::max(r.height(), item.kind == CtrlKind::Static
                                                 ? hint.height()
                                                 : std::min(hint.height(), r.height() + 8)));
        }
        if (item.kind == CtrlKind::Edit)
            r.setHeight(std::max(r.height(), std::min(hint.height(), r.height() + 8)));
        designed.push_back(units.ToPixels(item.x, item.y, item.cx, item.cy));
        placed.push_back(r);
        w->setGeometry(r);
        w->setVisible(!(item.nStyle & WS_INVISIBLE));
        w->setFocusPolicy((item.nStyle & WS_TABSTOP) || item.kind == CtrlKind::Edit
                              ? Qt::StrongFocus
                              : Qt::ClickFocus);
        if (TakesNoInput(item.kind))
        {
            // As in a Windows dialog, frames and labels never take the mouse and lie under
            // the controls whatever their creation order, so a group box created after the
            // controls it frames does not swallow their clicks.
            w->setFocusPolicy(Qt::NoFocus);
            w->setAttribute(Qt::WA_TransparentForMouseEvents);
            w->lower();
        }
        if (pPrevious != nullptr && w->focusPolicy() != Qt::NoFocus)
            QWidget::setTabOrder(pPrevious, w);
        if (w->focusPolicy() != Qt::NoFocus)
            pPrevious = w;
        widgets.push_back(w);
    }

    // Controls to the right of a grown one on the same line move along by its growth.
    for (std::size_t j = 0; j < widgets.size(); ++j)
    {
        int nShift = 0;
        for (std::size_t i = 0; i < widgets.size(); ++i)
        {
            const int nGrowth = placed[i].right() - designed[i].right();
            const bool bSameLine = designed[i].top() <= designed[j].bottom() &&
                                   designed[j].top() <= designed[i].bottom();
            // Only a control that the growth would now run into moves, just clear of it.
            const int nOverlap = placed[i].right() + 4 - designed[j].left();
            if (i != j && nGrowth > 0 && bSameLine && designed[j].left() > designed[i].right() &&
                nOverlap > 0)
                nShift = std::max(nShift, nOverlap);
        }
        if (nShift > 0)
            widgets[j]->move(widgets[j]->x() + nShift, widgets[j]->y());
        if (!widgets[j]->isHidden())
        {
            nRight = std::max(nRight, widgets[j]->geometry().right() + units.X(7) + 1);
            nBottom = std::max(nBottom, widgets[j]->geometry().bottom() + units.Y(7) + 1);
        }
    }
    pParent->resize(nRight, nBottom);
    return widgets;
}

void CTemplateBuilder::ChainTabOrder(const std::vector<QWidget*>& controls)
{
    QWidget* pPrevious = nullptr;
    for (QWidget* w : controls)
    {
        if (w->focusPolicy() == Qt::NoFocus)
            continue;
        if (pPrevious != nullptr)
            QWidget::setTabOrder(pPrevious, w);
        pPrevious = w;
    }
}
