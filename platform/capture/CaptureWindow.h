#pragma once
// The capture window: a child widget that connects a driver by index, previews it at a rate,
// grabs frames on request into its frame buffer and saves that buffer as a BMP file. When a
// grab fails (a camera unplugged, say) the frame buffer shows the owner's stand-by picture,
// so a stale frame is never served as a live one; an unplugged camera is connected again by
// itself when it comes back, under whichever node.

#include "platform/capture/CaptureTypes.h"
#include "platform/capture/DriverList.h"
#include "platform/capture/FrameSource.h"

#include <QImage>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

class CCaptureWindow : public QWidget, public CFrameSource
{
    Q_OBJECT
public:
    static constexpr int kDefaultWidth = 160;
    static constexpr int kDefaultHeight = 120;
    // While the connected camera is gone, it is looked for this often.
    static constexpr int kReconnectIntervalMs = 1000;

    // capCreateCaptureWindow: a child of pParent at (x, y), 160 × 120.
    CCaptureWindow(const CDriverList& drivers, QWidget* pParent, int x, int y);
    ~CCaptureWindow() override;

    bool DriverConnect(int nIndex);
    void DriverDisconnect();
    bool DriverGetCaps(CAPDRIVERCAPS* pCaps) const;
    bool GetStatus(CAPSTATUS* pStatus) const;
    void SetPreviewRate(int nMilliseconds);
    void SetPreview(bool bPreview);
    bool IsPreviewing() const { return m_bPreview; }
    // The connected device has gone and is being looked for.
    bool IsWaitingForDevice() const { return m_reconnectTimer.isActive(); }
    // The driver's dialogs; true when one was shown and closed with OK (what it changed is
    // then kept), false when there is none or it was cancelled.
    bool DlgVideoSource();
    bool DlgVideoFormat();
    bool DlgVideoDisplay();

    // Calls fn once a fresh frame is in the frame buffer, or the wait for one has failed and
    // the buffer shows the stand-by picture: at once when that needs no waiting, else from
    // the event loop when the device has a frame (never blocking it). Calls that come while
    // one waits share its frame. Within fn, GrabFrameNoStop takes that frame.
    void WhenFrameReady(std::function<void()> fn) override;
    bool GrabFrameNoStop() override;
    bool FileSaveDib(const char* pszFileName) override;
    std::string LastError() const override { return m_strLastError; }

    // The picture a failed grab leaves in the frame buffer.
    void SetStandbyPicture(const QImage& image);
    CCaptureDriver* ConnectedDriver() const { return m_pDriver; }
    const CFrameBuffer& Frame() const override { return m_frame; }

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    void PreviewTick();
    // Repaints soon, but no more often than a viewer can tell.
    void FrameChanged();
    void ShowStandby();
    // After a grab: when the device has gone, its resources are already released; look for
    // it until it is back.
    void NoticeLoss();
    void TryReconnect();
    void OnFrameReadable();
    // Ends the wait: runs every waiting call with the frame buffer as it is now.
    void RunWaiting(bool bGrabbed);

    const CDriverList& m_drivers;
    CCaptureDriver* m_pDriver = nullptr;
    CFrameBuffer m_frame;
    QTimer m_previewTimer;
    QTimer m_repaintTimer;
    QTimer m_reconnectTimer;
    // Calls waiting for a frame, the watch on the device and the bound on the wait.
    std::vector<std::function<void()>> m_waiting;
    QSocketNotifier* m_pFrameNotifier = nullptr;
    QTimer m_waitTimer;
    enum class Pinned
    {
        No,
        Frame,
        Failure
    };
    Pinned m_pinned = Pinned::No; // while the waiting calls run
    bool m_bRepaintPending = false;
    bool m_bPreview = false;
    std::string m_strLastError;
    QImage m_standby;
};
