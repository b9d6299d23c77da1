#pragma once
// The caption editor (template 130): text, horizontal and vertical position, text colour,
// background colour or transparency, and font of one caption copy.

#include "captions/Caption.h"
#include "controls/ColorPickerButton.h"
#include "controls/RadioGroupFrame.h"
#include "platform/ui/Dialog.h"

class CCaptionDlg : public CDialog
{
    Q_OBJECT
public:
    static constexpr int IDD = 130;
    static constexpr int IDC_TEXT = 1019;
    static constexpr int IDC_XPOS = 1015;
    static constexpr int IDC_YPOS = 1014;
    static constexpr int IDC_FONT = 1018;
    static constexpr int IDC_TEXT_COLOR = 1020;
    static constexpr int IDC_BACK_COLOR = 1021;
    static constexpr int IDC_HORZ_FRAME = 1023;
    static constexpr int IDC_VERT_FRAME = 1024;
    static constexpr int IDC_BACK_FRAME = 1025;

    static const CDlgTemplate& Template();
    explicit CCaptionDlg(QWidget* pParent = nullptr);

    void OnFont();
    // The font the caption is drawn with, as the font dialog names it: a style and a point size.
    static QFont DialogFont(const LOGFONTA& lf);
    static const char* const kMsgTextTooLong;
    CColorPickerButton* TextPicker() const { return m_pTextPicker; }
    CColorPickerButton* BackPicker() const { return m_pBackPicker; }

    CCaption m_caption;

protected:
    void DoDataExchange(CDataExchange* pDX) override;

private:
    CRadioGroupFrame m_vertFrame;
    CRadioGroupFrame m_backFrame;
    CRadioGroupFrame m_horzFrame;
    CColorPickerButton* m_pBackPicker;
    CColorPickerButton* m_pTextPicker;
};
