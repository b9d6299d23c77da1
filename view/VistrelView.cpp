#include "view/VistrelView.h"

#include "platform/ui/MessageBox.h"
#include "res/StandbyPicture.h"
#include "service/SnapshotBuilder.h"

#include <QGuiApplication>
#include <QImage>

#include <cstdio>

namespace
{
// Where the form's placeholder puts the capture window's corner: 7 x 21 dialog units of the
// 8-point dialog font.
constexpr int kCaptureLeft = 11;
constexpr int kCaptureTop = 34;

bool Headless()
{
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}
} // namespace

CVistrelView::CVistrelView(const CDriverList& drivers, QWidget* pParent)
    : QWidget(pParent), m_drivers(drivers)
{
}

CVistrelView::~CVistrelView()
{
    if (m_pListenSocket)
        m_pListenSocket->Close();
    m_pListenSocket.reset();
    m_pOverlay.reset();
    if (m_settings.CaptureDevice != -1 && m_hCapWnd)
        m_hCapWnd->DriverDisconnect();
}

std::string CVistrelView::WorkingFile(const char* pszName) const
{
    return m_strDirectory.empty() ? std::string(pszName) : m_strDirectory + "/" + pszName;
}

void CVistrelView::SetTitle(const std::string& strTitle)
{
    m_strTitle = strTitle;
    emit TitleChanged(QString::fromStdString(strTitle));
}

void CVistrelView::SetStatusText(const std::string& strText)
{
    if (strText == m_strStatus)
        return;
    m_strStatus = strText;
    if (Headless() && !strText.empty())
    {
        std::fprintf(stderr, "Vistrel: %s\n", strText.c_str());
        std::fflush(stderr);
    }
    emit StatusTextChanged(QString::fromStdString(strText));
}

void CVistrelView::OnInitialUpdate()
{
    m_hCapWnd = new CCaptureWindow(m_drivers, this, kCaptureLeft, kCaptureTop);
    QImage standby;
    standby.loadFromData(StandbyPictureBmp(), "BMP");
    m_hCapWnd->SetStandbyPicture(standby);
    m_hCapWnd->SetPreviewRate(kPreviewRateMs);
    SetTitle("No Driver Selected");
    m_settings.Load();
    if (m_settings.UseOverlay != 0)
        LoadOverlay();
    if (m_settings.CaptureDevice != -1)
    {
        const int nIndex = m_settings.CaptureDevice;
        m_settings.CaptureDevice = -1; // so that the call connects instead of toggling off
        SelectDriver(nIndex);
    }
    StartServer();
}

void CVistrelView::LoadOverlay()
{
    m_pOverlay = std::make_unique<CDib>();
    const std::string file = WorkingFile("overlay.bmp");
    const auto result = m_pOverlay->Load(file.c_str());
    if (!result.Opened())
    {
        // Start-up goes on with an empty overlay, which draws nothing.
        const std::string text =
            "The overlay bitmap cannot be opened:\n" + result.Error().GetErrorMessage();
        AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
    }
}

void CVistrelView::SelectDriver(int nIndex)
{
    if (m_settings.CaptureDevice != -1 && m_hCapWnd)
        m_hCapWnd->DriverDisconnect();
    if (nIndex == m_settings.CaptureDevice)
    {
        m_settings.CaptureDevice = -1;
    }
    else if (!m_hCapWnd || !m_hCapWnd->DriverConnect(nIndex))
    {
        AfxMessageBox("DOH! Can't open this driver", MB_OK);
        if (m_hCapWnd && !m_hCapWnd->LastError().empty())
            SetStatusText(m_hCapWnd->LastError());
        m_settings.CaptureDevice = -1;
    }
    else
    {
        m_settings.CaptureDevice = nIndex;
        std::string name;
        m_drivers.GetDriverDescription(nIndex, name);
        SetTitle(name);
        CAPSTATUS status;
        m_hCapWnd->GetStatus(&status);
        m_hCapWnd->resize(int(status.uiImageWidth), int(status.uiImageHeight));
        m_hCapWnd->SetPreview(m_settings.PreviewEnabled != 0);
    }
    if (m_settings.CaptureDevice == -1)
        SetTitle("No driver selected");
}

void CVistrelView::StartServer()
{
    if (m_pListenSocket)
        m_pListenSocket->Close();
    m_pListenSocket.reset();
    if (m_settings.ServerEnabled == 0)
        return;
    auto pSocket = std::make_unique<CImageSocket>();
    pSocket->SetView(this);
    // A port outside 1..65535 is refused rather than truncated to some other port.
    const bool bPortValid = m_settings.ServerPort >= 1 && m_settings.ServerPort <= 65535;
    if (!bPortValid || !pSocket->Create(unsigned(m_settings.ServerPort)) || !pSocket->Listen(5))
    {
        AfxMessageBox("Aieeee! Can't open server on configured port\n", MB_OK);
        return;
    }
    m_pListenSocket = std::move(pSocket);
}

unsigned CVistrelView::ListeningPort() const
{
    return m_pListenSocket ? m_pListenSocket->GetLocalPort() : 0;
}

int CVistrelView::BuildSnapshot(std::unique_ptr<std::uint8_t[]>& pResponse, bool bIncludeStatusLine)
{
    const CSnapshotBuilder::CInputs in{m_settings,   m_hCapWnd.data(), m_pOverlay.get(),
                                       m_jpegWriter, m_strDirectory,   &m_pOutputCache};
    const auto result = CSnapshotBuilder::Build(in, pResponse, bIncludeStatusLine);
    SetStatusText(result.strProblem);
    return result.nLength;
}
