#pragma once
// Options > "Image...": output size, JPEG quality, overlay and its transparent colour, and the
// six captions, each edited in the caption editor (template 145).

#include "captions/Caption.h"
#include "controls/ColorPickerButton.h"
#include "platform/ui/Dialog.h"

#include <array>

class QSlider;

class CImageSettingsDlg : public CDialog
{
    Q_OBJECT
public:
    static constexpr int IDD = 145;
    static constexpr int IDC_CAPTURE_DEFAULT = 1021;
    static constexpr int IDC_CUSTOM_SIZE = 1022;
    static constexpr int IDC_WIDTH = 1023;
    static constexpr int IDC_HEIGHT = 1024;
    static constexpr int IDC_QUALITY = 1025;
    static constexpr int IDC_USE_OVERLAY = 1027;
    static constexpr int IDC_FIRST_CAPTION = 1030;
    static constexpr int IDC_OVERLAY_COLOR = 1040;

    static const CDlgTemplate& Template();
    explicit CImageSettingsDlg(QWidget* pParent = nullptr);

    // A caption box was clicked (its check mark has already toggled).
    void OnCaption(int nIndex);
    QSlider* Trackbar() const { return m_pTrackbar; }
    CColorPickerButton* Picker() const { return m_pPicker; }

    int m_nQuality = 0;
    std::array<CCaption, 6> m_captions;
    int m_nSizeChoice = 0;
    unsigned m_nHeight = 0;
    unsigned m_nWidth = 0;
    int m_bUseOverlay = 0;
    COLORREF m_overlayColor = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;

private:
    CColorPickerButton* m_pPicker;
    QSlider* m_pTrackbar;
};
