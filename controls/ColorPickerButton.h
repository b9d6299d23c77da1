#pragma once
// The colour picker: an owner-drawn button showing a swatch and a drop-down arrow, whose click
// opens a grid of 20 colours (shared by every picker) and an "Other..." button.

#include "platform/gdi/GdiTypes.h"
#include "platform/ui/Dialog.h"

#include <QPushButton>

#include <array>
#include <memory>

class CColorPickerButton;

class CColorGridPopup : public CDialog
{
    Q_OBJECT
public:
    static constexpr int IDD = 5100;
    static constexpr int ID_FIRST_CELL = 5101;
    static constexpr int ID_OTHER = 5121;
    static constexpr int kCells = 20;
    static constexpr int kOtherResult = 2; // the popup ended for the colour dialog

    static const CDlgTemplate& Template();
    explicit CColorGridPopup(CColorPickerButton* pOwner);

    // The shared palette and recency table (ages 1..20, 1 = chosen last).
    static std::array<COLORREF, kCells>& Palette();
    static std::array<BYTE, kCells>& Ages();
    static void ResetPalette();
    // The recency update for a chosen cell.
    static void Touch(int k);
    // A colour from the colour dialog: its cell if the palette has it, else it replaces the
    // cell chosen longest ago; either way the cell becomes the most recent. Returns the cell.
    static int AdoptColor(COLORREF c);
    // Where the popup goes: under the button's bottom-left corner, moved above the button
    // when it would leave the screen at the bottom, and left to the screen's right edge.
    static QPoint Placement(const QRect& button, const QSize& popup, const QSize& screen);

    // Runs the popup modally, with the colour dialog of "Other..." in between; the popup comes
    // back when that dialog is cancelled. QDialog::Accepted when a colour was chosen.
    int Run();
    int ChosenIndex() const { return m_nChosen; }
    void OnCell(int nId);
    void OnOther();

protected:
    void showEvent(QShowEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    CColorPickerButton* m_pOwner;
    int m_nChosen = -1; // none until a cell or "Other..." chose one
};

class CColorPickerButton : public QPushButton
{
    Q_OBJECT
public:
    explicit CColorPickerButton(QWidget* pParent = nullptr);
    ~CColorPickerButton() override;

    COLORREF m_color = 0xFFFFFF;

    struct CState
    {
        bool bSelected = false;
        bool bDisabled = false;
        bool bFocus = false;
    };
    // Paints the button as the owner-draw algorithm does, into rect (R and B exclusive).
    static void DrawItem(QPainter& painter, const QRect& rect, COLORREF color, const CState& state,
                         const QColor& buttonFace);
    void OnClicked();
    CColorGridPopup& Popup() { return *m_pPopup; }

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    std::unique_ptr<CColorGridPopup> m_pPopup;
    QColor m_buttonFace;
};
