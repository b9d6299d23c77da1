#include "view/VistrelView.h"

#include "app/dialogs/ImageSettingsDlg.h"
#include "app/dialogs/ServerSettingsDlg.h"
#include "platform/registry/RegistryHive.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/QuitOnSignals.h"
#include "res/StandbyPicture.h"
#include "settings/DeviceMemory.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QImage>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <thread>

namespace
{
bool Headless()
{
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

bool StoreExists()
{
    struct stat st;
    return ::lstat(CRegistryHive::DefaultPath().c_str(), &st) == 0;
}

// One line on standard error, for those who run the program without a window.
void Announce(const std::string& strLine)
{
    std::fprintf(stderr, "Vistrel: %s\n", strLine.c_str());
    std::fflush(stderr);
}
} // namespace

const CDlgTemplate& CVistrelView::FormTemplate()
{
    static const CDlgTemplate t{
        IDD,
        nullptr,
        0,
        0,
        {
            {IDC_PREVIEW, CtrlKind::CheckBox, "View Preview", 7, 7, 59, 10, WS_TABSTOP},
            {IDC_ENABLE_SERVER, CtrlKind::CheckBox, "Enable Web Server", 78, 7, 78, 10, WS_TABSTOP},
            {IDC_PLACEHOLDER, CtrlKind::BlackFrame, nullptr, 7, 21, 20, 20, 0},
        }};
    return t;
}

CVistrelView::CVistrelView(const CDriverList& drivers, QWidget* pParent)
    : CFormView(FormTemplate(), pParent), m_drivers(drivers)
{
    OnCommand(ID_VIDEO_SOURCE, [this] { OnVideoSource(); });
    OnCommand(ID_VIDEO_FORMAT, [this] { OnVideoFormat(); });
    OnCommand(ID_VIDEO_DISPLAY, [this] { OnVideoDisplay(); });
    for (int nId : {ID_VIDEO_SOURCE, ID_VIDEO_FORMAT, ID_VIDEO_DISPLAY})
        OnUpdateCommandUI(nId, [this](CCmdUI* p) { OnUpdateVideoDialog(p); });
    OnCommand(ID_OPTIONS_SERVER, [this] { OnServerSettings(); });
    OnCommand(ID_OPTIONS_IMAGE, [this] { OnImageSettings(); });
    OnCommand(ID_FILE_SAVE, [this] { OnSaveSettings(); });
    if (auto* p = Item<QCheckBox>(IDC_PREVIEW))
        connect(p, &QCheckBox::clicked, this, [this] { OnPreview(); });
    if (auto* p = Item<QCheckBox>(IDC_ENABLE_SERVER))
        connect(p, &QCheckBox::clicked, this, [this] { OnEnableServer(); });
    m_service.SetStatusHandler([this](const std::string& strProblem)
                               { SetStatusText(strProblem); });
    // A camera back after an unplug, a stall or another program's use: said once, and its
    // problem is over.
    connect(&m_capture, &CCaptureSession::DeviceBack, this,
            [this](const QString& text)
            {
                Announce(text.toStdString());
                SetStatusText({});
                ResizeCaptureWindowToFrame();
                UpdateScrollExtent();
            });
}

CVistrelView::~CVistrelView()
{
    // No new connections; those still open are closed with the server.
    m_server.StopListening();
    m_service.SetOverlay(nullptr);
    m_pOverlay.reset();
    // The window shows the session: it goes first.
    delete m_hCapWnd.data();
    m_capture.Disconnect();
}

void CVistrelView::DoDataExchange(CDataExchange* pDX)
{
    DDX_Check(pDX, IDC_ENABLE_SERVER, m_settings.ServerEnabled);
    DDX_Check(pDX, IDC_PREVIEW, m_settings.PreviewEnabled);
}

void CVistrelView::SetWorkingDirectory(const std::string& strDirectory)
{
    m_strDirectory = strDirectory;
    m_service.SetWorkingDirectory(strDirectory);
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
    const bool bHadProblem = !m_strStatus.empty();
    m_strStatus = strText;
    // Without a window, the end of a problem is said as plainly as the problem was.
    if (Headless() && !strText.empty())
        Announce(strText);
    else if (Headless() && bHadProblem)
        Announce("the problem above is gone; images are served again");
    emit StatusTextChanged(QString::fromStdString(strText));
}

void CVistrelView::OnInitialUpdate()
{
    // The capture window takes the placeholder's corner; the placeholder goes.
    QPoint corner(11, 34);
    if (QWidget* pPlaceholder = GetDlgItem(IDC_PLACEHOLDER))
    {
        corner = pPlaceholder->geometry().topLeft();
        m_controls.erase(std::find(m_controls.begin(), m_controls.end(), pPlaceholder));
        delete pPlaceholder;
    }
    m_hCapWnd = new CCaptureWindow(m_capture, this, corner.x(), corner.y());
    m_service.SetFrameSource(&m_capture);
    QImage standby;
    standby.loadFromData(StandbyPictureBmp(), "BMP");
    m_capture.SetStandbyPicture(standby);
    // Preview rate and title, then the settings: read once, or the start ends here.
    m_hCapWnd->SetPreviewRate(kPreviewRateMs);
    SetTitle("No Driver Selected");
    const LONG nStore = LoadWaitingForTheStore();
    if (nStore == ERROR_BUSY)
    {
        // Exit with an error so that a service manager tries again later.
        AfxMessageBox(
            "The settings store " + CRegistryHive::DefaultPath() +
                " is locked by another program; gave up waiting for it after " +
                std::to_string(m_runOptions.nStoreWaitSeconds.value_or(kStoreWaitSeconds)) +
                " seconds.",
            MB_OK | MB_ICONEXCLAMATION);
        m_bStartFailed = true;
        return;
    }
    if (nStore != ERROR_SUCCESS && nStore != ERROR_FILE_NOT_FOUND && !StoreExists())
    {
        // No store, and none can be made here (a read-only home, say): the program runs on
        // with every default, each caption saying its key could not be opened; only Save
        // has something to refuse then.
        for (int i = 0; i < CSettings::kCaptionCount; ++i)
            CCaption::ReportOpenFailure(nStore);
    }
    else if (nStore != ERROR_SUCCESS && nStore != ERROR_FILE_NOT_FOUND)
    {
        // A store that cannot be read (corrupt, foreign, a folder, locked too long) ends the
        // start with one message that names it, and it is never written.
        AfxMessageBox("The settings store " + CRegistryHive::DefaultPath() +
                          " cannot be read: " + RegistryErrorText(nStore),
                      MB_OK | MB_ICONEXCLAMATION);
        m_bStartFailed = true;
        return;
    }
    // Options of this run change the record as the window would; only Save stores them.
    m_runOptions.ApplyTo(m_settings);
    if (m_settings.UseOverlay != 0)
        LoadOverlay();
    // The check boxes show the loaded settings.
    CFormView::OnInitialUpdate();
    // The device kept in the settings is connected again, then the server started.
    if (m_settings.CaptureDevice != -1)
    {
        const int nIndex = StoredDeviceIndex();
        m_settings.CaptureDevice = -1; // so that the call connects instead of toggling off
        SelectDriver(nIndex, true);
    }
    StartServer();
    UpdateScrollExtent();
}

LONG CVistrelView::LoadWaitingForTheStore()
{
    // Every attempt waits the store's own busy time; between attempts a SIGTERM is honoured.
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::seconds(m_runOptions.nStoreWaitSeconds.value_or(kStoreWaitSeconds));
    LONG nStore = m_settings.Load();
    if (nStore == ERROR_BUSY)
        Announce("the settings store " + CRegistryHive::DefaultPath() +
                 " is locked by another program; waiting for it");
    while (nStore == ERROR_BUSY && std::chrono::steady_clock::now() < deadline &&
           !CQuitOnSignals::Pending())
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        nStore = m_settings.Load();
    }
    return nStore;
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
    m_service.SetOverlay(m_pOverlay.get());
}

void CVistrelView::ResizeCaptureWindowToFrame()
{
    CAPSTATUS status;
    if (m_hCapWnd && m_hCapWnd->GetStatus(&status))
        m_hCapWnd->resize(int(status.uiImageWidth), int(status.uiImageHeight));
}

int CVistrelView::StoredDeviceIndex() const
{
    // Known by identity: the index of a device that is not there, or that another device now
    // has, names nothing. A store from before identities were kept goes by index.
    if (m_settings.CaptureDeviceId.empty())
        return m_settings.CaptureDevice;
    if (m_settings.CaptureDeviceIdIndex != -1 &&
        m_settings.CaptureDeviceIdIndex != m_settings.CaptureDevice)
    {
        // The index was set after the identity was saved with another one: it is the user's
        // newer word.
        Announce("the capture device index " + std::to_string(m_settings.CaptureDevice) +
                 " in the settings was changed since " + m_settings.CaptureDeviceId +
                 " was kept there; the index is used");
        return m_settings.CaptureDevice;
    }
    for (int i = 0; i < m_drivers.Count(); ++i)
        if (m_drivers.Driver(i)->Identity() == m_settings.CaptureDeviceId)
            return i;
    return kMissingDevice;
}

void CVistrelView::KeepDeviceChoices()
{
    CCaptureDriver* pDriver = m_drivers.Driver(m_settings.CaptureDevice);
    if (pDriver == nullptr)
        return;
    const LONG n = CDeviceMemory::Save(pDriver->Identity(), pDriver->ChosenState());
    if (n != ERROR_SUCCESS)
        SetStatusText("The choices for " + pDriver->Description() +
                      " could not be kept: " + RegistryErrorText(n));
}

bool CVistrelView::ConnectWithItsChoices(int nIndex, CCaptureDriver& driver)
{
    // What was chosen for this device before, in this run or an earlier one.
    driver.Restore(CDeviceMemory::Load(driver.Identity()));
    return m_capture.Connect(nIndex);
}

void CVistrelView::SelectDriver(int nIndex, bool bAtStart)
{
    if (m_settings.CaptureDevice != -1)
        m_capture.Disconnect();
    CCaptureDriver* pDriver = m_drivers.Driver(nIndex);
    if (nIndex == m_settings.CaptureDevice)
    {
        m_settings.CaptureDevice = -1;
    }
    else if (nIndex == kMissingDevice)
    {
        AfxMessageBox("DOH! Can't open this driver", MB_OK);
        SetStatusText("The capture device " + m_settings.CaptureDeviceId +
                      " kept in the settings is not connected");
        m_settings.CaptureDevice = -1;
    }
    else if (!m_hCapWnd || pDriver == nullptr || !ConnectWithItsChoices(nIndex, *pDriver))
    {
        AfxMessageBox("DOH! Can't open this driver", MB_OK);
        if (bAtStart && pDriver != nullptr && pDriver->WasBusy())
        {
            // Kept, and tried every second like an unplugged camera: the other program may
            // let go of it; meanwhile clients get the stand-by picture.
            m_capture.KeepTrying(nIndex);
            SetStatusText(m_capture.LastError());
            m_settings.CaptureDevice = nIndex;
            m_settings.CaptureDeviceId = pDriver->Identity();
            SetTitle(pDriver->Description());
            return;
        }
        if (!m_capture.LastError().empty())
            SetStatusText(m_capture.LastError());
        m_settings.CaptureDevice = -1;
    }
    else
    {
        m_settings.CaptureDevice = nIndex;
        m_settings.CaptureDeviceId = pDriver->Identity();
        std::string name;
        m_drivers.GetDriverDescription(nIndex, name);
        SetTitle(name);
        ResizeCaptureWindowToFrame();
        m_hCapWnd->SetPreview(m_settings.PreviewEnabled != 0);
        UpdateScrollExtent();
    }
    if (m_settings.CaptureDevice == -1)
    {
        m_settings.CaptureDeviceId.clear();
        SetTitle("No driver selected");
    }
}

void CVistrelView::OnUpdateDriverMenu(int nIndex, CCmdUI* pCmdUI)
{
    pCmdUI->Enable(true);
    pCmdUI->SetCheck(nIndex == m_settings.CaptureDevice ? 1 : 0);
}

bool CVistrelView::OnCmdMsg(int nID, int nCode, CCmdUI* pCmdUI)
{
    if (nID >= ID_DRIVER_FIRST && nID < ID_DRIVER_FIRST + kMaxDriverItems)
    {
        if (nCode == CN_COMMAND)
            SelectDriver(nID - ID_DRIVER_FIRST);
        else if (nCode == CN_UPDATE_COMMAND_UI && pCmdUI != nullptr)
            OnUpdateDriverMenu(nID - ID_DRIVER_FIRST, pCmdUI);
        return true;
    }
    return CCmdTarget::OnCmdMsg(nID, nCode, pCmdUI);
}

bool CVistrelView::HasCommandHandler(int nID) const
{
    return (nID >= ID_DRIVER_FIRST && nID < ID_DRIVER_FIRST + kMaxDriverItems) ||
           CCmdTarget::HasCommandHandler(nID);
}

void CVistrelView::OnUpdateVideoDialog(CCmdUI* pCmdUI)
{
    CAPDRIVERCAPS caps;
    if (m_settings.CaptureDevice == -1 || !m_hCapWnd || !m_hCapWnd->DriverGetCaps(&caps))
    {
        pCmdUI->Enable(false);
        return;
    }
    switch (pCmdUI->m_nID)
    {
    case ID_VIDEO_SOURCE:
        pCmdUI->Enable(caps.fHasDlgVideoSource);
        break;
    case ID_VIDEO_FORMAT:
        pCmdUI->Enable(caps.fHasDlgVideoFormat);
        break;
    default:
        pCmdUI->Enable(caps.fHasDlgVideoDisplay);
        break;
    }
}

void CVistrelView::OnVideoSource()
{
    if (m_hCapWnd && m_hCapWnd->DlgVideoSource())
        KeepDeviceChoices();
}

void CVistrelView::OnVideoDisplay()
{
    if (m_hCapWnd)
        m_hCapWnd->DlgVideoDisplay();
}

void CVistrelView::OnVideoFormat()
{
    if (!m_hCapWnd)
        return;
    if (m_hCapWnd->DlgVideoFormat())
    {
        KeepDeviceChoices();
        if (!m_hCapWnd->DialogError().empty())
            SetStatusText(m_hCapWnd->DialogError());
    }
    ResizeCaptureWindowToFrame();
    UpdateScrollExtent();
}

void CVistrelView::OnPreview()
{
    UpdateData(true);
    if (m_hCapWnd)
        m_hCapWnd->SetPreview(m_settings.PreviewEnabled != 0);
}

void CVistrelView::OnEnableServer()
{
    UpdateData(true);
    StartServer();
}

void CVistrelView::OnServerSettings()
{
    CServerSettingsDlg dlg;
    dlg.m_nServerPort = unsigned(m_settings.ServerPort);
    dlg.m_bHttpHeaders = m_settings.HttpHeaders;
    dlg.m_bServerEnabled = m_settings.ServerEnabled;
    dlg.m_nImageType = m_settings.ImageType;
    if (dlg.DoModal() != CDialog::IDOK)
        return;
    const bool bRestart = std::int32_t(dlg.m_nServerPort) != m_settings.ServerPort ||
                          dlg.m_bServerEnabled != m_settings.ServerEnabled;
    m_settings.ServerPort = std::int32_t(dlg.m_nServerPort);
    m_settings.HttpHeaders = dlg.m_bHttpHeaders;
    m_settings.ServerEnabled = dlg.m_bServerEnabled;
    m_settings.ImageType = dlg.m_nImageType;
    if (bRestart)
    {
        UpdateData(false);
        StartServer();
    }
}

void CVistrelView::OnImageSettings()
{
    CImageSettingsDlg dlg;
    dlg.m_nWidth = unsigned(m_settings.ImageWidth);
    dlg.m_nHeight = unsigned(m_settings.ImageHeight);
    dlg.m_nSizeChoice = m_settings.UseCustomSize;
    dlg.m_nQuality = m_settings.JpegQuality;
    dlg.m_bUseOverlay = m_settings.UseOverlay;
    dlg.m_overlayColor = m_settings.OverlayTransColor;
    dlg.m_captions = m_settings.captions;
    if (dlg.DoModal() != CDialog::IDOK)
        return;
    m_settings.ImageWidth = std::int32_t(dlg.m_nWidth);
    m_settings.ImageHeight = std::int32_t(dlg.m_nHeight);
    m_settings.UseCustomSize = dlg.m_nSizeChoice;
    m_settings.JpegQuality = dlg.m_nQuality;
    m_settings.UseOverlay = dlg.m_bUseOverlay;
    m_settings.OverlayTransColor = dlg.m_overlayColor;
    m_settings.captions = dlg.m_captions;
    // The overlay bitmap follows the setting; an overlay already held is not read again.
    if (m_settings.UseOverlay != 0 && !m_pOverlay)
        LoadOverlay();
    else if (m_settings.UseOverlay == 0)
    {
        m_service.SetOverlay(nullptr);
        m_pOverlay.reset();
    }
}

void CVistrelView::OnSaveSettings()
{
    const LONG nStatus = m_settings.Save();
    // The status bar says what happened; a failure also had its message box.
    const std::string strText =
        nStatus == ERROR_SUCCESS ? "Settings saved to " + CRegistryHive::DefaultPath()
                                 : std::string("Settings not saved: ") + RegistryErrorText(nStatus);
    if (Headless())
        Announce(strText);
    emit SaveReported(QString::fromStdString(strText));
}

void CVistrelView::UpdateScrollExtent()
{
    if (!m_hCapWnd)
        return;
    const QRect r = m_hCapWnd->geometry();
    const int l = r.left();
    // The left offset is the margin on the right and at the bottom too; the form's own
    // controls always stay inside.
    QSize extent(r.right() + 1 + l, r.bottom() + 1 + l);
    extent = extent.expandedTo(FormExtent());
    m_extent = extent;
    setFixedSize(extent);
    emit ResizeParentToFit(extent);
}

void CVistrelView::StartServer()
{
    m_server.StopListening();
    if (m_settings.ServerEnabled == 0)
    {
        if (Headless())
            Announce("the web server is off; start Vistrel with --server on to serve images");
        return;
    }
    // A port outside 1..65535 is refused rather than truncated to some other port.
    const bool bPortValid = m_settings.ServerPort >= 1 && m_settings.ServerPort <= 65535;
    if (!bPortValid || !m_server.Listen(unsigned(m_settings.ServerPort)))
    {
        const int nError = m_server.LastError();
        AfxMessageBox("Aieeee! Can't open server on configured port\n", MB_OK);
        // Which port, and why: the message box has no room for it.
        const std::string strPort = std::to_string(m_settings.ServerPort);
        const std::string strWhy = bPortValid
                                       ? "port " + strPort + ": " + std::strerror(nError)
                                       : "port " + strPort + ", which is not between 1 and 65535";
        if (!Headless())
            Announce("can't open the server on " + strWhy);
        SetStatusText("Can't open the server on " + strWhy);
        return;
    }
    if (Headless())
    {
        const std::string strPort = std::to_string(m_server.Port());
        std::string strLine = "serving images at http://127.0.0.1:" + strPort + "/";
        if (m_server.IsIPv6())
            strLine += " and http://[::1]:" + strPort + "/";
        Announce(strLine + " (every interface)");
    }
}

unsigned CVistrelView::ListeningPort() const
{
    return m_server.Port();
}
