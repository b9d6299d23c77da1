#include "controls/ColorPickerButton.h"

#include <QColorDialog>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

namespace
{
QColor ToQColor(COLORREF c)
{
    return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}

constexpr std::array<COLORREF, 20> kInitialPalette = {
    0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000,
    0xC0C0C0, 0xC0DCC0, 0xF0CAA6, 0xF0FBFF, 0xA4A0A0, 0x808080, 0x0000FF,
    0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
constexpr std::array<BYTE, 20> kInitialAges = {1,  3,  5,  7,  9,  11, 13, 15, 17, 19,
                                               20, 18, 16, 14, 12, 10, 8,  6,  4,  2};

// Pixels from p to q, q itself not painted (lines here are horizontal or vertical).
void LineTo(QPainter& painter, QPoint p, QPoint q)
{
    const int dx = (q.x() > p.x()) - (q.x() < p.x());
    const int dy = (q.y() > p.y()) - (q.y() < p.y());
    while (p != q)
    {
        painter.drawPoint(p);
        p += QPoint(dx, dy);
    }
}

void Pixel(QPainter& painter, int x, int y, const QColor& c)
{
    painter.setPen(c);
    painter.drawPoint(x, y);
}
} // namespace

std::array<COLORREF, 20>& CColorGridPopup::Palette()
{
    static std::array<COLORREF, 20> s_palette = kInitialPalette;
    return s_palette;
}

std::array<BYTE, 20>& CColorGridPopup::Ages()
{
    static std::array<BYTE, 20> s_ages = kInitialAges;
    return s_ages;
}

void CColorGridPopup::ResetPalette()
{
    Palette() = kInitialPalette;
    Ages() = kInitialAges;
}

void CColorGridPopup::Touch(int k)
{
    auto& ages = Ages();
    for (int i = 0; i < kCells; ++i)
        if (ages[std::size_t(k)] > ages[std::size_t(i)])
            ++ages[std::size_t(i)];
    ages[std::size_t(k)] = 1;
}

const CDlgTemplate& CColorGridPopup::Template()
{
    static const CDlgTemplate t = []
    {
        CDlgTemplate d{IDD, nullptr, 49, 73, {}};
        const int rows[] = {1, 12, 24, 36, 48};
        const int cols[] = {1, 13, 25, 37};
        for (int i = 0; i < kCells; ++i)
            d.items.push_back({ID_FIRST_CELL + i, CtrlKind::OwnerDrawButton, nullptr, cols[i % 4],
                               rows[i / 4], 11, 10, WS_TABSTOP});
        d.items.push_back({ID_OTHER, CtrlKind::PushButton, "Other...", 1, 60, 47, 11, WS_TABSTOP});
        return d;
    }();
    return t;
}

CColorGridPopup::CColorGridPopup(CColorPickerButton* pOwner)
    : CDialog(Template(), nullptr), m_pOwner(pOwner)
{
    setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    for (int i = 0; i < kCells; ++i)
        if (auto* pCell = Item<QPushButton>(ID_FIRST_CELL + i))
        {
            pCell->installEventFilter(this);
            connect(pCell, &QPushButton::clicked, this, [this, i] { OnCell(ID_FIRST_CELL + i); });
        }
    if (auto* pOther = Item<QPushButton>(ID_OTHER))
        connect(pOther, &QPushButton::clicked, this, [this] { OnOther(); });
}

bool CColorGridPopup::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pEvent->type() == QEvent::Paint)
    {
        auto* pCell = static_cast<QWidget*>(pWatched);
        const int k = pCell->property("ctrlId").toInt() - ID_FIRST_CELL;
        QPainter painter(pCell);
        painter.fillRect(pCell->rect(), ToQColor(Palette()[std::size_t(k)]));
        return true; // no frame, no focus or selection mark
    }
    return CDialog::eventFilter(pWatched, pEvent);
}

QPoint CColorGridPopup::Placement(const QRect& button, const QSize& popup, const QSize& screen)
{
    QPoint p = button.bottomLeft() + QPoint(0, 1);
    const int nBottom = p.y() + popup.height();
    if (nBottom > screen.height())
        p.ry() -= nBottom - button.top();
    const int nRight = p.x() + popup.width();
    if (nRight > screen.width())
        p.rx() -= nRight - screen.width();
    return p;
}

void CColorGridPopup::showEvent(QShowEvent* pEvent)
{
    if (m_pOwner != nullptr)
    {
        const QRect button(m_pOwner->mapToGlobal(QPoint(0, 0)), m_pOwner->size());
        const QScreen* pScreen = m_pOwner->screen();
        const QSize screen =
            pScreen != nullptr ? pScreen->geometry().size() : QSize(1 << 20, 1 << 20);
        move(Placement(button, size(), screen));
    }
    CDialog::showEvent(pEvent);
    if (auto* pFirst = GetDlgItem(ID_FIRST_CELL))
        pFirst->setFocus();
}

void CColorGridPopup::OnCell(int nId)
{
    const int k = nId - ID_FIRST_CELL;
    if (k < 0 || k >= kCells)
        return;
    m_nChosen = k;
    Touch(k);
    done(QDialog::Accepted);
}

void CColorGridPopup::OnOther()
{
    // A popup closes at any press outside it, and the colour dialog lies outside it; so the
    // popup steps aside for the dialog and Run() opens it again when the dialog is cancelled.
    done(kOtherResult);
}

int CColorGridPopup::Run()
{
    for (;;)
    {
        const int nResult = exec();
        if (nResult != kOtherResult)
            return nResult;
        QColorDialog dialog;
        dialog.setWindowTitle(QStringLiteral("Color"));
        if (dialog.exec() != QDialog::Accepted || !dialog.selectedColor().isValid())
            continue;
        const QColor chosen = dialog.selectedColor();
        m_nChosen = AdoptColor(RGB(BYTE(chosen.red()), BYTE(chosen.green()), BYTE(chosen.blue())));
        return QDialog::Accepted;
    }
}

int CColorGridPopup::AdoptColor(COLORREF c)
{
    auto& palette = Palette();
    int k = -1;
    for (int i = 0; i < kCells && k < 0; ++i)
        if (palette[std::size_t(i)] == c)
            k = i;
    for (int i = 0; i < kCells && k < 0; ++i)
        if (Ages()[std::size_t(i)] == kCells)
        {
            k = i;
            palette[std::size_t(k)] = c;
        }
    Touch(k);
    return k;
}

void CColorGridPopup::keyPressEvent(QKeyEvent* pEvent)
{
    // Enter ends the popup with OK, as the dialog's default command does.
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter)
    {
        done(QDialog::Accepted);
        return;
    }
    CDialog::keyPressEvent(pEvent);
}

CColorPickerButton::CColorPickerButton(QWidget* pParent)
    : QPushButton(pParent), m_pPopup(std::make_unique<CColorGridPopup>(this)),
      m_buttonFace(palette().color(QPalette::Button))
{
    connect(this, &QPushButton::clicked, this, [this] { OnClicked(); });
}

CColorPickerButton::~CColorPickerButton() = default;

void CColorPickerButton::OnClicked()
{
    if (m_pPopup->Run() != QDialog::Accepted)
        return;
    const int k = m_pPopup->ChosenIndex();
    // An OK (the Enter key) before any choice was ever made leaves the colour as it is.
    if (k < 0 || k >= CColorGridPopup::kCells)
        return;
    m_color = CColorGridPopup::Palette()[std::size_t(k)];
    update();
}

void CColorPickerButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    CState state;
    state.bSelected = isDown();
    state.bDisabled = !isEnabled();
    state.bFocus = hasFocus();
    DrawItem(painter, rect(), m_color, state, m_buttonFace);
}

void CColorPickerButton::DrawItem(QPainter& p, const QRect& rect, COLORREF color,
                                  const CState& state, const QColor& buttonFace)
{
    const int L = rect.left();
    const int T = rect.top();
    const int R = rect.left() + rect.width();
    const int B = rect.top() + rect.height();
    const QColor black(0, 0, 0);
    const QColor white(255, 255, 255);
    const QColor grey(0x80, 0x80, 0x80);
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(QRect(L, T, R - L, B - T), buttonFace);

    int L2 = L;
    int T2 = T;
    int R2 = R;
    int B2 = B;
    if (!state.bSelected)
    {
        p.setPen(black);
        LineTo(p, {L, B - 1}, {R - 1, B - 1});
        LineTo(p, {R - 1, B - 1}, {R - 1, T});
        p.setPen(grey);
        LineTo(p, {L + 1, B - 2}, {R - 2, B - 2});
        LineTo(p, {R - 2, B - 2}, {R - 2, T + 1});
        p.setPen(white);
        LineTo(p, {R - 2, T + 1}, {L + 1, T + 1});
        LineTo(p, {L + 1, T + 1}, {L + 1, B - 2});
    }
    else
    {
        p.setPen(grey);
        LineTo(p, {L, B - 1}, {L, T});
        LineTo(p, {L, T}, {R - 1, T});
        p.setPen(white);
        LineTo(p, {R - 1, T - 1}, {R - 1, B - 1});
        LineTo(p, {R - 1, B - 1}, {L + 1, B - 1});
        p.setPen(black);
        LineTo(p, {L + 1, B - 2}, {L + 1, T + 1});
        LineTo(p, {L + 1, T + 1}, {R - 2, T + 1});
        L2 = L + 1;
        T2 = T + 1;
        R2 = R + 1;
        B2 = B + 1;
    }
    // Separator.
    p.setPen(white);
    LineTo(p, {R2 - 10, T2 + 4}, {R2 - 10, B2 - 4});
    p.setPen(grey);
    LineTo(p, {R2 - 11, T2 + 4}, {R2 - 11, B2 - 4});
    // Arrow.
    const int M = B2 / 2;
    p.setPen(state.bDisabled ? grey : black);
    LineTo(p, {R2 - 4, M - 1}, {R2 - 9, M - 1});
    LineTo(p, {R2 - 5, M}, {R2 - 8, M});
    if (state.bDisabled)
    {
        Pixel(p, R2 - 4, M - 1, white);
        Pixel(p, R2 - 5, M, white);
        Pixel(p, R2 - 6, M + 1, white);
    }
    else
    {
        Pixel(p, R2 - 6, M + 1, black);
        // Swatch: a black frame filled with the colour, from (L'+5, T'+4) to (R'-15, B'-4).
        const QRect swatch(L2 + 5, T2 + 4, (R2 - 15) - (L2 + 5), (B2 - 4) - (T2 + 4));
        if (swatch.width() > 0 && swatch.height() > 0)
        {
            p.fillRect(swatch, ToQColor(color));
            p.setPen(black);
            LineTo(p, swatch.topLeft(), {swatch.right(), swatch.top()});
            LineTo(p, {swatch.right(), swatch.top()}, swatch.bottomRight());
            LineTo(p, swatch.bottomRight(), {swatch.left(), swatch.bottom()});
            LineTo(p, {swatch.left(), swatch.bottom()}, swatch.topLeft());
        }
    }
    if (state.bFocus)
    {
        p.setPen(black);
        for (int x = L2 + 3; x < R2 - 4; x += 2)
        {
            p.drawPoint(x, T2 + 3);
            p.drawPoint(x, B2 - 4);
        }
        for (int y = T2 + 3; y < B2 - 4; y += 2)
        {
            p.drawPoint(L2 + 3, y);
            p.drawPoint(R2 - 4, y);
        }
    }
    p.restore();
}
