#pragma once
// Dialog templates as data: controls with their ids, texts, creation (tab) order and geometry
// in dialog units. CTemplateBuilder turns one into real widgets, converting dialog units with
// the dialog font's base units and growing any control whose text would otherwise show cut.

#include <QFont>
#include <QRect>
#include <QWidget>

#include <map>
#include <vector>

enum class CtrlKind
{
    CheckBox,
    RadioButton,
    Edit,
    GroupBox,
    PushButton,
    DefPushButton,
    Static,
    BlackFrame,
    OwnerDrawButton,
    Trackbar,
    Icon,
};

constexpr unsigned WS_GROUP = 0x1;
constexpr unsigned WS_TABSTOP = 0x2;
constexpr unsigned WS_INVISIBLE = 0x4;
constexpr unsigned ES_AUTOHSCROLL = 0x8;
constexpr unsigned SS_CENTERIMAGE = 0x10;

constexpr int IDOK_BUTTON = 1;
constexpr int IDCANCEL_BUTTON = 2;
constexpr int IDC_STATIC = -1;

struct CDlgItem
{
    int nId;
    CtrlKind kind;
    const char* pszText;
    int x, y, cx, cy;
    unsigned nStyle = 0;
};

struct CDlgTemplate
{
    int nId;
    const char* pszTitle; // null for a form without a caption
    int cx, cy;
    std::vector<CDlgItem> items;
};

// Dialog base units of a font: the average width of the 52 letters and the character height.
class CDialogUnits
{
public:
    explicit CDialogUnits(const QFont& font);
    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }
    QRect ToPixels(int x, int y, int cx, int cy) const;
    int X(int x) const { return x * m_nBaseX / 4; }
    int Y(int y) const { return y * m_nBaseY / 8; }

private:
    int m_nBaseX;
    int m_nBaseY;
};

class CTemplateBuilder
{
public:
    // Creates the template's controls as children of pParent, in template order (which is also
    // the tab order), and returns them by position in the template. Radio buttons form one
    // exclusive group from each WS_GROUP item to the next. The parent is sized to hold them.
    static std::vector<QWidget*> Build(const CDlgTemplate& t, QWidget* pParent);
    // Sets the tab order to the controls' order, skipping those that take no focus.
    static void ChainTabOrder(const std::vector<QWidget*>& controls);
};
