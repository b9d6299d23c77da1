#include "controls/ColorPickerButton.h"
#include "tests/support/UserInput.h"

#include "tests/support/Modal.h"

#include <QColorDialog>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>

namespace
{
class ColorPicker : public ::testing::Test
{
protected:
    void SetUp() override { CColorGridPopup::ResetPalette(); }
    void TearDown() override { CColorGridPopup::ResetPalette(); }
};

QWidget* Cell(QWidget* popup, int nId)
{
    return popup->findChild<QWidget*>(QStringLiteral("ctrl%1").arg(nId));
}

const QColor kFace(0xD4, 0xD0, 0xC8);

QImage Paint(int w, int h, const CColorPickerButton::CState& state)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    CColorPickerButton::DrawItem(painter, QRect(0, 0, w, h), RGB(0, 255, 0), state, kFace);
    return image;
}

QRgb Px(const QImage& i, int x, int y)
{
    return i.pixel(x, y) & 0xFFFFFF;
}
constexpr QRgb kBlack = 0x000000;
constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kGrey = 0x808080;
constexpr QRgb kGreen = 0x00FF00;
} // namespace

TEST_F(ColorPicker, ARaisedButtonPaintsAsTheAlgorithmSays)
{
    const QImage i = Paint(30, 14, {});
    const QRgb face = kFace.rgb() & 0xFFFFFF;
    // Frame: black bottom row and right column (its top pixel left out), grey inside them,
    // white top and left inner lines.
    EXPECT_EQ(Px(i, 0, 13), kBlack);
    EXPECT_EQ(Px(i, 28, 13), kBlack);
    EXPECT_EQ(Px(i, 29, 13), kBlack);
    EXPECT_EQ(Px(i, 29, 1), kBlack);
    EXPECT_EQ(Px(i, 29, 0), face);
    EXPECT_EQ(Px(i, 1, 12), kGrey);
    EXPECT_EQ(Px(i, 28, 2), kGrey);
    EXPECT_EQ(Px(i, 28, 1), kWhite);
    EXPECT_EQ(Px(i, 2, 1), kWhite);
    EXPECT_EQ(Px(i, 1, 1), kWhite);
    EXPECT_EQ(Px(i, 1, 11), kWhite);
    EXPECT_EQ(Px(i, 0, 0), face);
    // Separator at R-10 (white) and R-11 (grey), rows T+4 to B-5.
    EXPECT_EQ(Px(i, 20, 4), kWhite);
    EXPECT_EQ(Px(i, 20, 9), kWhite);
    EXPECT_EQ(Px(i, 20, 10), face);
    EXPECT_EQ(Px(i, 19, 4), kGrey);
    // Arrow: M = 7; five pixels on row 6, three on row 7, the tip at (24, 8).
    for (int x = 22; x <= 26; ++x)
        EXPECT_EQ(Px(i, x, 6), kBlack) << x;
    EXPECT_EQ(Px(i, 21, 6), face);
    for (int x = 23; x <= 25; ++x)
        EXPECT_EQ(Px(i, x, 7), kBlack) << x;
    EXPECT_EQ(Px(i, 24, 8), kBlack);
    // Swatch: black frame from (5, 4) to (14, 9), the colour inside.
    EXPECT_EQ(Px(i, 5, 4), kBlack);
    EXPECT_EQ(Px(i, 14, 9), kBlack);
    EXPECT_EQ(Px(i, 6, 5), kGreen);
    EXPECT_EQ(Px(i, 13, 8), kGreen);
    EXPECT_EQ(Px(i, 15, 5), face);
}

TEST_F(ColorPicker, PressedDisabledAndFocusedLooks)
{
    const QImage p = Paint(30, 14, {true, false, false});
    EXPECT_EQ(Px(p, 0, 13), kGrey);
    EXPECT_EQ(Px(p, 0, 0), kGrey);
    EXPECT_EQ(Px(p, 28, 0), kGrey);
    EXPECT_EQ(Px(p, 29, 5), kWhite);
    EXPECT_EQ(Px(p, 2, 13), kWhite);
    EXPECT_EQ(Px(p, 1, 13), kFace.rgb() & 0xFFFFFF) << "the line's end point is not painted";
    EXPECT_EQ(Px(p, 1, 5), kBlack);
    EXPECT_EQ(Px(p, 27, 1), kBlack);
    // Content one pixel right and down: swatch from (6, 5); separator at 21; M = 15/2 = 7.
    EXPECT_EQ(Px(p, 6, 5), kBlack);
    EXPECT_EQ(Px(p, 7, 6), kGreen);
    EXPECT_EQ(Px(p, 21, 5), kWhite);
    EXPECT_EQ(Px(p, 27, 6), kBlack);
    EXPECT_EQ(Px(p, 25, 8), kBlack);

    const QImage d = Paint(30, 14, {false, true, false});
    const QRgb face = kFace.rgb() & 0xFFFFFF;
    EXPECT_EQ(Px(d, 6, 5), face) << "no swatch when disabled";
    EXPECT_EQ(Px(d, 22, 6), kGrey);
    EXPECT_EQ(Px(d, 26, 6), kWhite);
    EXPECT_EQ(Px(d, 25, 7), kWhite);
    EXPECT_EQ(Px(d, 24, 8), kWhite);

    const QImage f = Paint(30, 14, {false, false, true});
    EXPECT_EQ(Px(f, 3, 3), kBlack);
    EXPECT_EQ(Px(f, 4, 3), face);
    EXPECT_EQ(Px(f, 5, 3), kBlack);
    EXPECT_EQ(Px(f, 3, 10), kBlack);
    EXPECT_EQ(Px(f, 26, 5), kBlack);
}

TEST_F(ColorPicker, ACellSetsTheColourAndAPressOutsideCancels)
{
    QWidget owner;
    owner.resize(200, 100);
    auto* button = new CColorPickerButton(&owner);
    button->setGeometry(10, 10, 45, 20);
    owner.show();
    WhenModal([](QWidget* popup) { UserClick(Cell(popup, 5114)); });
    UserClick(button);
    EXPECT_EQ(button->m_color, 0x0000FFu);
    EXPECT_EQ(CColorGridPopup::Ages()[13], 1);

    WhenModal([](QWidget* popup)
              { QTest::mousePress(popup, Qt::LeftButton, {}, QPoint(-20, -20)); });
    UserClick(button);
    EXPECT_EQ(button->m_color, 0x0000FFu);

    // Enter in a new picker's first opening chooses nothing: the colour stays.
    auto* fresh = new CColorPickerButton(&owner);
    fresh->m_color = 0x123456;
    WhenModal([](QWidget* popup) { QTest::keyClick(popup, Qt::Key_Return); });
    UserClick(fresh);
    EXPECT_EQ(fresh->m_color, 0x123456u);
}

TEST_F(ColorPicker, OtherAdoptsAColourThroughTheColourDialog)
{
    QWidget owner;
    auto* button = new CColorPickerButton(&owner);
    owner.show();
    // A colour the palette already has chooses its cell and replaces nothing.
    WhenModal(
        [](QWidget* popup)
        {
            WhenModal(
                [](QWidget* dialog)
                {
                    auto* pDialog = qobject_cast<QColorDialog*>(dialog);
                    ASSERT_NE(pDialog, nullptr);
                    pDialog->setCurrentColor(QColor(0, 255, 0));
                    pDialog->accept();
                });
            UserClick(Cell(popup, CColorGridPopup::ID_OTHER));
        });
    const auto before = CColorGridPopup::Palette();
    UserClick(button);
    EXPECT_EQ(button->m_color, 0x00FF00u);
    EXPECT_EQ(CColorGridPopup::Palette(), before);

    // A new colour replaces cell 5111 and every picker sees it.
    WhenModal(
        [](QWidget* popup)
        {
            WhenModal(
                [](QWidget* dialog)
                {
                    qobject_cast<QColorDialog*>(dialog)->setCurrentColor(QColor(1, 2, 3));
                    qobject_cast<QColorDialog*>(dialog)->accept();
                });
            UserClick(Cell(popup, CColorGridPopup::ID_OTHER));
        });
    UserClick(button);
    EXPECT_EQ(button->m_color, RGB(1, 2, 3));
    EXPECT_EQ(CColorGridPopup::Palette()[10], RGB(1, 2, 3));
}

TEST_F(ColorPicker, NewColoursReplaceCellsFromTheMiddleOut)
{
    const int order[] = {10, 9, 11, 8, 12, 7, 13, 6, 14, 5, 15, 4, 16, 3, 17, 2, 18, 1, 19, 0};
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(CColorGridPopup::AdoptColor(RGB(BYTE(i), 1, 2)), order[i]) << i;

    CColorGridPopup::ResetPalette();
    CColorGridPopup::Touch(10); // cell 5111 chosen
    EXPECT_EQ(CColorGridPopup::AdoptColor(RGB(9, 9, 9)), 9);
    auto ages = CColorGridPopup::Ages();
    std::sort(ages.begin(), ages.end());
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(ages[std::size_t(i)], i + 1);
}

TEST_F(ColorPicker, ThePopupStaysOnScreen)
{
    const QSize popup(80, 120);
    const QSize screen(800, 600);
    EXPECT_EQ(CColorGridPopup::Placement(QRect(100, 100, 45, 20), popup, screen), QPoint(100, 120));
    // Near the bottom: above the button, its bottom meeting the button's top.
    EXPECT_EQ(CColorGridPopup::Placement(QRect(100, 550, 45, 20), popup, screen),
              QPoint(100, 550 - 120));
    // Near the right edge: flush with it.
    EXPECT_EQ(CColorGridPopup::Placement(QRect(760, 100, 45, 20), popup, screen),
              QPoint(800 - 80, 120));
}
