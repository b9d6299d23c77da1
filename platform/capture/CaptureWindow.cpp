#include "platform/capture/CaptureWindow.h"

#include "platform/capture/CaptureDialogs.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstring>
#include <utility>

namespace
{
constexpr int kGrabTimeoutMs = 2000;
// The picture is repainted at most this often: a server answering hundreds of requests a
// second grabs far more frames than anyone can see, and each paint converts the whole frame.
constexpr int kRepaintIntervalMs = 40;
} // namespace

CCaptureWindow::CCaptureWindow(const CDriverList& drivers, QWidget* pParent, int x, int y)
    : QWidget(pParent), m_drivers(drivers)
{
    setObjectName(QStringLiteral("Capture"));
    setGeometry(x, y, kDefaultWidth, kDefaultHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_previewTimer.setInterval(66);
    connect(&m_previewTimer, &QTimer::timeout, this, [this] { PreviewTick(); });
    m_repaintTimer.setSingleShot(true);
    m_repaintTimer.setInterval(kRepaintIntervalMs);
    connect(&m_repaintTimer, &QTimer::timeout, this,
            [this]
            {
                if (m_bRepaintPending)
                    FrameChanged();
            });
    m_waitTimer.setSingleShot(true);
    m_waitTimer.setInterval(kGrabTimeoutMs);
    connect(&m_waitTimer, &QTimer::timeout, this,
            [this]
            {
                m_strLastError = (m_pDriver != nullptr ? m_pDriver->Description() : "the device") +
                                 ": no new frame arrived within " + std::to_string(kGrabTimeoutMs) +
                                 " ms";
                ShowStandby();
                RunWaiting(false);
            });
    m_reconnectTimer.setInterval(kReconnectIntervalMs);
    connect(&m_reconnectTimer, &QTimer::timeout, this, [this] { TryReconnect(); });
    show();
}

CCaptureWindow::~CCaptureWindow()
{
    // Whoever waits is going away with this window (its owner): their calls are dropped.
    m_waiting.clear();
    DriverDisconnect();
}

bool CCaptureWindow::DriverConnect(int nIndex)
{
    DriverDisconnect();
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
    if (m_bPreview)
        m_previewTimer.start();
    return true;
}

void CCaptureWindow::DriverDisconnect()
{
    if (!m_waiting.empty())
    {
        m_strLastError = "the capture device was disconnected";
        ShowStandby();
        RunWaiting(false);
    }
    m_previewTimer.stop();
    m_reconnectTimer.stop();
    if (m_pDriver != nullptr)
        m_pDriver->Close();
    m_pDriver = nullptr;
    update();
}

bool CCaptureWindow::DriverGetCaps(CAPDRIVERCAPS* pCaps) const
{
    if (m_pDriver == nullptr || pCaps == nullptr)
        return false;
    *pCaps = m_pDriver->Capabilities();
    return true;
}

bool CCaptureWindow::GetStatus(CAPSTATUS* pStatus) const
{
    if (pStatus == nullptr)
        return false;
    *pStatus = CAPSTATUS{};
    if (m_pDriver == nullptr)
        return false;
    pStatus->uiImageWidth = unsigned(m_pDriver->Width());
    pStatus->uiImageHeight = unsigned(m_pDriver->Height());
    return true;
}

void CCaptureWindow::SetPreviewRate(int nMilliseconds)
{
    m_previewTimer.setInterval(std::max(1, nMilliseconds));
}

void CCaptureWindow::SetPreview(bool bPreview)
{
    m_bPreview = bPreview;
    if (m_bPreview && m_pDriver != nullptr)
        m_previewTimer.start();
    else
        m_previewTimer.stop();
    update();
}

void CCaptureWindow::PreviewTick()
{
    // Nobody sees a hidden preview, nor any window without a screen; the grabs on request
    // still work.
    if (m_pDriver == nullptr || !isVisible() ||
        QGuiApplication::platformName() == QLatin1String("offscreen"))
        return;
    std::string error;
    if (m_pDriver->Grab(m_frame, error, 0))
        FrameChanged();
    else
        NoticeLoss();
}

void CCaptureWindow::NoticeLoss()
{
    if (m_pDriver == nullptr || m_pDriver->IsOpen() || m_reconnectTimer.isActive())
        return;
    m_previewTimer.stop();
    m_reconnectTimer.start();
}

void CCaptureWindow::TryReconnect()
{
    std::string error;
    if (m_pDriver == nullptr || !m_pDriver->Open(error))
        return;
    m_reconnectTimer.stop();
    m_strLastError.clear();
    if (m_bPreview)
        m_previewTimer.start();
}

void CCaptureWindow::FrameChanged()
{
    // Without a screen nobody sees the window: a picture taken of it (grab) still paints.
    static const bool s_bOffscreen = QGuiApplication::platformName() == QLatin1String("offscreen");
    if (s_bOffscreen)
        return;
    if (m_repaintTimer.isActive())
    {
        m_bRepaintPending = true; // painted when the interval is over
        return;
    }
    m_bRepaintPending = false;
    update();
    m_repaintTimer.start();
}

void CCaptureWindow::WhenFrameReady(std::function<void()> fn)
{
    const int fd = m_pDriver != nullptr ? m_pDriver->Descriptor() : -1;
    if (fd < 0 || m_reconnectTimer.isActive() || m_pinned != Pinned::No)
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
        FrameChanged();
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
    m_pFrameNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_pFrameNotifier, &QSocketNotifier::activated, this, [this] { OnFrameReadable(); });
    m_waitTimer.start();
}

void CCaptureWindow::OnFrameReadable()
{
    if (m_pDriver == nullptr || m_waiting.empty())
        return;
    // Every frame since the wait began is fresh: take the newest.
    if (m_pDriver->Grab(m_frame, m_strLastError, 0))
    {
        m_strLastError.clear();
        FrameChanged();
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

void CCaptureWindow::RunWaiting(bool bGrabbed)
{
    m_waitTimer.stop();
    if (m_pFrameNotifier != nullptr)
    {
        m_pFrameNotifier->setEnabled(false);
        m_pFrameNotifier->deleteLater();
        m_pFrameNotifier = nullptr;
    }
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

bool CCaptureWindow::GrabFrameNoStop()
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
        m_strLastError = m_pDriver->Description() + " has gone; waiting for it to come back";
        ShowStandby();
        return false;
    }
    if (!m_pDriver->Grab(m_frame, m_strLastError, kGrabTimeoutMs))
    {
        ShowStandby();
        NoticeLoss();
        return false;
    }
    m_strLastError.clear();
    FrameChanged();
    return true;
}

void CCaptureWindow::SetStandbyPicture(const QImage& image)
{
    m_standby = image.convertToFormat(QImage::Format_BGR888);
}

void CCaptureWindow::ShowStandby()
{
    if (m_standby.isNull() || !m_frame.Resize(m_standby.width(), m_standby.height()))
    {
        m_frame = CFrameBuffer();
        return;
    }
    for (int y = 0; y < m_standby.height(); ++y)
        std::memcpy(m_frame.Row(y), m_standby.constScanLine(y), std::size_t(m_standby.width()) * 3);
    FrameChanged();
}

bool CCaptureWindow::FileSaveDib(const char* pszFileName)
{
    std::string error;
    if (!m_frame.SaveDib(pszFileName, &error))
    {
        m_strLastError = error;
        return false;
    }
    return true;
}

bool CCaptureWindow::DlgVideoSource()
{
    if (m_pDriver == nullptr || !m_pDriver->Capabilities().fHasDlgVideoSource)
        return false;
    CCaptureSourceDialog dialog(*m_pDriver, this);
    return dialog.exec() == QDialog::Accepted;
}

bool CCaptureWindow::DlgVideoFormat()
{
    if (m_pDriver == nullptr || !m_pDriver->Capabilities().fHasDlgVideoFormat)
        return false;
    CCaptureFormatDialog dialog(*m_pDriver, this);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    if (!dialog.Error().empty())
        m_strLastError = dialog.Error();
    return true;
}

bool CCaptureWindow::DlgVideoDisplay()
{
    return m_pDriver != nullptr && m_pDriver->Capabilities().fHasDlgVideoDisplay;
}

void CCaptureWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (!m_bPreview || m_pDriver == nullptr || m_frame.IsEmpty())
    {
        painter.fillRect(rect(), QColor(0, 0, 0));
        return;
    }
    const QImage image(std::as_const(m_frame).Data(), m_frame.Width(), m_frame.Height(),
                       qsizetype(m_frame.Width()) * 3, QImage::Format_BGR888);
    painter.drawImage(rect(), image);
}
