#include "platform/capture/CaptureWindow.h"

#include "platform/capture/CaptureDialogs.h"

#include <QImage>
#include <QPainter>

#include <utility>

namespace
{
// The picture is repainted at most this often: a server answering hundreds of requests a
// second grabs far more frames than anyone can see, and each paint converts the whole frame.
constexpr int kRepaintIntervalMs = 40;
} // namespace

CCaptureWindow::CCaptureWindow(CCaptureSession& session, QWidget* pParent, int x, int y)
    : QWidget(pParent), m_session(session)
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
    connect(&m_session, &CCaptureSession::FrameChanged, this, [this] { FrameChanged(); });
    show();
}

bool CCaptureWindow::DriverGetCaps(CAPDRIVERCAPS* pCaps) const
{
    if (m_session.Driver() == nullptr || pCaps == nullptr)
        return false;
    *pCaps = m_session.Driver()->Capabilities();
    return true;
}

bool CCaptureWindow::GetStatus(CAPSTATUS* pStatus) const
{
    if (pStatus == nullptr)
        return false;
    *pStatus = CAPSTATUS{};
    if (m_session.Driver() == nullptr)
        return false;
    pStatus->uiImageWidth = unsigned(m_session.Driver()->Width());
    pStatus->uiImageHeight = unsigned(m_session.Driver()->Height());
    return true;
}

void CCaptureWindow::SetPreviewRate(int nMilliseconds)
{
    m_previewTimer.setInterval(std::max(1, nMilliseconds));
}

void CCaptureWindow::SetPreview(bool bPreview)
{
    m_bPreview = bPreview;
    if (m_bPreview)
        m_previewTimer.start();
    else
        m_previewTimer.stop();
    update();
}

void CCaptureWindow::PreviewTick()
{
    // A hidden preview is seen by nobody; the grabs on request still work.
    if (isVisible())
        m_session.TakeNewest();
}

void CCaptureWindow::FrameChanged()
{
    if (m_repaintTimer.isActive())
    {
        m_bRepaintPending = true; // painted when the interval is over
        return;
    }
    m_bRepaintPending = false;
    update();
    m_repaintTimer.start();
}

bool CCaptureWindow::DlgVideoSource()
{
    CCaptureDriver* pDriver = m_session.Driver();
    if (pDriver == nullptr || !pDriver->Capabilities().fHasDlgVideoSource)
        return false;
    CCaptureSourceDialog dialog(*pDriver, this);
    return dialog.exec() == QDialog::Accepted;
}

bool CCaptureWindow::DlgVideoFormat()
{
    CCaptureDriver* pDriver = m_session.Driver();
    if (pDriver == nullptr || !pDriver->Capabilities().fHasDlgVideoFormat)
        return false;
    CCaptureFormatDialog dialog(*pDriver, this);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    m_strDialogError = dialog.Error();
    return true;
}

bool CCaptureWindow::DlgVideoDisplay()
{
    return m_session.Driver() != nullptr && m_session.Driver()->Capabilities().fHasDlgVideoDisplay;
}

void CCaptureWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const CFrameBuffer& frame = m_session.Frame();
    if (!m_bPreview || m_session.Driver() == nullptr || frame.IsEmpty())
    {
        painter.fillRect(rect(), QColor(0, 0, 0));
        return;
    }
    const QImage image(frame.Data(), frame.Width(), frame.Height(), qsizetype(frame.Width()) * 3,
                       QImage::Format_BGR888);
    painter.drawImage(rect(), image);
}
