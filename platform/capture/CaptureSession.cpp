#include "platform/capture/CaptureSession.h"

#include <cstring>
#include <utility>

namespace
{
// A watch may end inside its own notification: it is let go once that has returned.
void StopWatching(std::unique_ptr<QSocketNotifier>& pNotifier)
{
    if (!pNotifier)
        return;
    pNotifier->setEnabled(false);
    pNotifier.release()->deleteLater();
}
} // namespace

CCaptureSession::CCaptureSession(const CDriverList& drivers) : m_drivers(drivers)
{
    m_waitTimer.setSingleShot(true);
    m_waitTimer.setInterval(kFrameTimeoutMs);
    connect(&m_waitTimer, &QTimer::timeout, this, [this] { Stall(); });
    m_reconnectTimer.setInterval(kReconnectIntervalMs);
    connect(&m_reconnectTimer, &QTimer::timeout, this, [this] { TryReconnect(); });
    m_restartTimer.setInterval(kRestartIntervalMs);
    connect(&m_restartTimer, &QTimer::timeout, this, [this] { RestartStalled(); });
}

CCaptureSession::~CCaptureSession()
{
    // Whoever waits is going away with the session's owner: their calls are dropped.
    m_waiting.clear();
    Disconnect();
}

bool CCaptureSession::Connect(int nIndex)
{
    Disconnect();
    CCaptureDriver* p = m_drivers.Driver(nIndex);
    if (p == nullptr)
    {
        m_strLastError = "no capture driver has index " + std::to_string(nIndex);
        return false;
    }
    if (!p->Open(m_strLastError))
        return false;
    m_pDriver = p;
    m_strLastError.clear();
    return true;
}

void CCaptureSession::KeepTrying(int nIndex)
{
    Disconnect();
    m_pDriver = m_drivers.Driver(nIndex);
    if (m_pDriver == nullptr)
        return;
    m_strWaitReason =
        m_strLastError.empty() ? m_pDriver->Description() + " cannot be opened" : m_strLastError;
    m_strWaitReason += "; trying again every second";
    m_strLastError = m_strWaitReason;
    m_reconnectTimer.start();
}

void CCaptureSession::Disconnect()
{
    if (!m_waiting.empty())
    {
        m_strLastError = "the capture device was disconnected";
        ShowStandby();
        RunWaiting(false);
    }
    EndStall();
    m_reconnectTimer.stop();
    if (m_pDriver != nullptr)
        m_pDriver->Close();
    m_pDriver = nullptr;
}

void CCaptureSession::NoticeLoss()
{
    if (m_pDriver == nullptr || m_pDriver->IsOpen() || m_reconnectTimer.isActive())
        return;
    EndStall();
    m_strWaitReason = m_pDriver->Description() + " has gone; waiting for it to come back";
    m_reconnectTimer.start();
}

void CCaptureSession::TryReconnect()
{
    std::string error;
    if (m_pDriver == nullptr || !m_pDriver->Open(error))
        return;
    m_reconnectTimer.stop();
    m_strLastError.clear();
    emit DeviceBack(QString::fromStdString(m_pDriver->Description() + " is connected"));
}

void CCaptureSession::Watch(std::unique_ptr<QSocketNotifier>& pNotifier,
                            void (CCaptureSession::*pfn)())
{
    StopWatching(pNotifier);
    const int fd = m_pDriver != nullptr ? m_pDriver->Descriptor() : -1;
    if (fd < 0)
        return;
    pNotifier = std::make_unique<QSocketNotifier>(qintptr(fd), QSocketNotifier::Read);
    connect(pNotifier.get(), &QSocketNotifier::activated, this, [this, pfn] { (this->*pfn)(); });
}

void CCaptureSession::Stall()
{
    // No frame for the whole wait, from a camera that says nothing is wrong: the waiting
    // requests get the stand-by picture, and the camera is started again until it sends.
    const std::string name = m_pDriver != nullptr ? m_pDriver->Description() : "the device";
    m_strLastError = name + " sent no frame for " + std::to_string(kFrameTimeoutMs / 1000) +
                     " s; its stream is being restarted";
    ShowStandby();
    RunWaiting(false);
    if (m_pDriver == nullptr || m_bStalled)
        return;
    m_bStalled = true;
    m_nRestarts = 0;
    RestartStalled();
    m_restartTimer.start();
}

void CCaptureSession::RestartStalled()
{
    if (m_pDriver == nullptr)
        return;
    std::string error;
    // Restarting the stream brings most cameras back; one that it does not is opened afresh.
    const bool bDone =
        m_nRestarts++ % 2 == 0 ? m_pDriver->RestartStream(error) : m_pDriver->Open(error);
    if (!bDone && !m_pDriver->IsOpen())
    {
        NoticeLoss();
        return;
    }
    Watch(m_pStallNotifier, &CCaptureSession::OnStalledReadable);
}

void CCaptureSession::OnStalledReadable()
{
    if (m_pDriver == nullptr || !m_bStalled)
        return;
    std::string error;
    if (m_pDriver->Grab(m_frame, error))
    {
        EndStall();
        m_strLastError.clear();
        emit FrameChanged();
        emit DeviceBack(QString::fromStdString(m_pDriver->Description() + " sends frames again"));
    }
    else if (!m_pDriver->IsOpen())
    {
        NoticeLoss();
    }
}

void CCaptureSession::EndStall()
{
    m_bStalled = false;
    m_restartTimer.stop();
    StopWatching(m_pStallNotifier);
}

void CCaptureSession::WhenFrameReady(std::function<void()> fn)
{
    const int fd = m_pDriver != nullptr ? m_pDriver->Descriptor() : -1;
    if (fd < 0 || m_reconnectTimer.isActive() || m_bStalled || m_pinned != Pinned::No)
    {
        fn(); // nothing to wait for: the grab inside answers at once
        return;
    }
    m_waiting.push_back(std::move(fn));
    if (m_waiting.size() > 1)
        return; // joins the wait in progress
    switch (m_pDriver->GrabIfFresh(m_frame, m_strLastError))
    {
    case CCaptureDriver::Readiness::Grabbed:
        m_strLastError.clear();
        emit FrameChanged();
        RunWaiting(true);
        return;
    case CCaptureDriver::Readiness::Failed:
        ShowStandby();
        NoticeLoss();
        RunWaiting(false);
        return;
    case CCaptureDriver::Readiness::NotYet:
        break;
    }
    Watch(m_pFrameNotifier, &CCaptureSession::OnFrameReadable);
    m_waitTimer.start();
}

void CCaptureSession::OnFrameReadable()
{
    if (m_pDriver == nullptr || m_waiting.empty())
        return;
    // Every frame since the wait began is fresh: take the newest.
    if (m_pDriver->Grab(m_frame, m_strLastError))
    {
        m_strLastError.clear();
        emit FrameChanged();
        RunWaiting(true);
    }
    else if (!m_pDriver->IsOpen())
    {
        ShowStandby();
        NoticeLoss();
        RunWaiting(false);
    }
    // else only frames that are passed over (the first after a start, broken ones): wait on
}

void CCaptureSession::RunWaiting(bool bGrabbed)
{
    m_waitTimer.stop();
    StopWatching(m_pFrameNotifier);
    std::vector<std::function<void()>> waiting;
    waiting.swap(m_waiting);
    const std::string strError = m_strLastError;
    m_pinned = bGrabbed ? Pinned::Frame : Pinned::Failure;
    for (auto& fn : waiting)
    {
        m_strLastError = strError;
        fn();
    }
    m_pinned = Pinned::No;
}

bool CCaptureSession::TakeNewest()
{
    if (m_pDriver == nullptr || m_reconnectTimer.isActive() || m_bStalled)
        return false;
    std::string error;
    if (m_pDriver->Grab(m_frame, error))
    {
        emit FrameChanged();
        return true;
    }
    NoticeLoss();
    return false;
}

bool CCaptureSession::GrabFrameNoStop()
{
    if (m_pinned != Pinned::No)
        return m_pinned == Pinned::Frame; // the frame (or stand-by picture) the wait ended with
    if (m_pDriver == nullptr)
    {
        m_strLastError = "no capture driver is connected";
        ShowStandby();
        return false;
    }
    if (m_reconnectTimer.isActive())
    {
        m_strLastError = m_strWaitReason;
        ShowStandby();
        return false;
    }
    if (m_bStalled || !m_pDriver->Grab(m_frame, m_strLastError))
    {
        ShowStandby();
        NoticeLoss();
        return false;
    }
    m_strLastError.clear();
    emit FrameChanged();
    return true;
}

void CCaptureSession::SetStandbyPicture(const QImage& image)
{
    m_standby = image.convertToFormat(QImage::Format_BGR888);
}

void CCaptureSession::ShowStandby()
{
    if (m_standby.isNull() || !m_frame.Resize(m_standby.width(), m_standby.height()))
    {
        m_frame = CFrameBuffer();
        return;
    }
    for (int y = 0; y < m_standby.height(); ++y)
        std::memcpy(m_frame.Row(y), m_standby.constScanLine(y), std::size_t(m_standby.width()) * 3);
    emit FrameChanged();
}

bool CCaptureSession::FileSaveDib(const char* pszFileName)
{
    std::string error;
    if (!m_frame.SaveDib(pszFileName, &error))
    {
        m_strLastError = error;
        return false;
    }
    return true;
}
