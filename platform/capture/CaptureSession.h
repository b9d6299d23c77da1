#pragma once
// The capture session: the connected driver and its frame buffer, without any window. It is
// the one way to a fresh frame: a request waits for one on the event loop (the device's
// descriptor watched, never a blocking wait), requests that wait together share it, and the
// preview takes what is there. When the device cannot give one, the frame buffer shows the
// owner's stand-by picture, so a stale frame is never served as a live one:
//   - unplugged, it is let go at once and connected again by itself when it is back, under
//     whichever node; one that is in use by another program at the start is tried the same way;
//   - a camera that stops sending frames with no error (some USB cameras do after hours) has
//     its stream restarted, then is opened afresh, until frames come again; meanwhile requests
//     get the stand-by picture at once instead of waiting.

#include "platform/capture/CaptureTypes.h"
#include "platform/capture/DriverList.h"
#include "platform/capture/FrameSource.h"

#include <QImage>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CCaptureSession : public QObject, public CFrameSource
{
    Q_OBJECT
public:
    // A camera that sends no frame for this long has stalled.
    static constexpr int kFrameTimeoutMs = 2000;
    // While the device is gone (or in use), it is looked for this often.
    static constexpr int kReconnectIntervalMs = 1000;
    // While it is stalled, it is started again this often, its stream first, then afresh.
    static constexpr int kRestartIntervalMs = 2000;

    explicit CCaptureSession(const CDriverList& drivers);
    ~CCaptureSession() override;
    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    // Connects the driver at nIndex (disconnecting the one there was); false with LastError.
    bool Connect(int nIndex);
    // Takes the driver at nIndex for the one connected although it cannot be opened now (in
    // use by another program): it is tried every second, and Reconnected says when it is in.
    void KeepTrying(int nIndex);
    void Disconnect();
    CCaptureDriver* Driver() const { return m_pDriver; }
    // The connected device has gone (or is in use) and is being looked for.
    bool IsWaitingForDevice() const { return m_reconnectTimer.isActive(); }
    bool IsStalled() const { return m_bStalled; }

    // The picture a failed grab leaves in the frame buffer.
    void SetStandbyPicture(const QImage& image);
    // The preview's frame: the newest there is, without waiting; false when there is none.
    bool TakeNewest();

    void WhenFrameReady(std::function<void()> fn) override;
    bool GrabFrameNoStop() override;
    // WM_CAP_FILE_SAVEDIB: the frame buffer as a 24-bit BMP file.
    bool FileSaveDib(const char* pszFileName);
    const CFrameBuffer& Frame() const override { return m_frame; }
    std::string LastError() const override { return m_strLastError; }

signals:
    // The frame buffer holds another picture.
    void FrameChanged();
    // The device that was gone, in use or stalled gives frames again; what to tell the user.
    void DeviceBack(const QString& text);

private:
    void ShowStandby();
    // After a grab: when the device has gone, its resources are already released; look for
    // it until it is back.
    void NoticeLoss();
    void TryReconnect();
    void OnFrameReadable();
    // Ends the wait: runs every waiting call with the frame buffer as it is now.
    void RunWaiting(bool bGrabbed);
    void Stall();
    void RestartStalled();
    void OnStalledReadable();
    void EndStall();
    void Watch(std::unique_ptr<QSocketNotifier>& pNotifier, void (CCaptureSession::*pfn)());

    const CDriverList& m_drivers;
    CCaptureDriver* m_pDriver = nullptr;
    CFrameBuffer m_frame;
    QTimer m_reconnectTimer;
    std::string m_strWaitReason; // why the device is being looked for
    // Calls waiting for a frame, the watch on the device and the bound on the wait.
    std::vector<std::function<void()>> m_waiting;
    std::unique_ptr<QSocketNotifier> m_pFrameNotifier;
    QTimer m_waitTimer;
    // A stalled camera: the watch for its first frame again, and the next restart.
    bool m_bStalled = false;
    int m_nRestarts = 0;
    std::unique_ptr<QSocketNotifier> m_pStallNotifier;
    QTimer m_restartTimer;
    enum class Pinned
    {
        No,
        Frame,
        Failure
    };
    Pinned m_pinned = Pinned::No; // while the waiting calls run
    std::string m_strLastError;
    QImage m_standby;
};
