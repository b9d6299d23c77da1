#pragma once
// The capture window: a child widget that shows its capture session's frames as a preview, at
// a rate and no more often than a viewer can tell, and opens the connected driver's dialogs.
// The session (the driver, its frames, its reconnects) is its owner's and works without it.

#include "platform/capture/CaptureSession.h"
#include "platform/capture/CaptureTypes.h"

#include <QTimer>
#include <QWidget>

class CCaptureWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kDefaultWidth = 160;
    static constexpr int kDefaultHeight = 120;

    // capCreateCaptureWindow: a child of pParent at (x, y), 160 × 120, showing session (which
    // must outlive it).
    CCaptureWindow(CCaptureSession& session, QWidget* pParent, int x, int y);

    CCaptureSession& Session() const { return m_session; }
    bool DriverGetCaps(CAPDRIVERCAPS* pCaps) const;
    bool GetStatus(CAPSTATUS* pStatus) const;
    void SetPreviewRate(int nMilliseconds);
    void SetPreview(bool bPreview);
    bool IsPreviewing() const { return m_bPreview; }
    // The driver's dialogs; true when one was shown and closed with OK (what it changed is
    // then kept), false when there is none or it was cancelled.
    bool DlgVideoSource();
    bool DlgVideoFormat();
    bool DlgVideoDisplay();
    // Why the last dialog's change could not be made ("" when it was).
    const std::string& DialogError() const { return m_strDialogError; }

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    void PreviewTick();
    // Repaints soon, but no more often than a viewer can tell.
    void FrameChanged();

    CCaptureSession& m_session;
    QTimer m_previewTimer;
    QTimer m_repaintTimer;
    bool m_bRepaintPending = false;
    bool m_bPreview = false;
    std::string m_strDialogError;
};
