#include "core/CameraServer.h"

#include "platform/file/File.h"
#include "platform/registry/Registry.h"
#include "platform/registry/RegistryHive.h"
#include "platform/ui/MessageBox.h"
#include "res/StandbyPicture.h"
#include "settings/DeviceMemory.h"

#include <QImage>
#include <QSocketNotifier>

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <thread>

CCameraServer::CCameraServer(const CDriverList& drivers, CRunContext context, CServerLimits limits)
    : m_drivers(drivers), m_context(std::move(context)), m_capture(drivers),
      m_server(m_service, limits)
{
    m_service.SetFrameSource(&m_capture);
    m_service.SetWorkingDirectory(m_context.strWorkingFolder);
    // A picture served is no sign that a missing camera is back: its problem stays said.
    m_service.SetStatusHandler(
        [this](const std::string& strProblem)
        { SetStatus(strProblem.empty() ? m_strDeviceProblem : strProblem); });
    QImage standby;
    standby.loadFromData(StandbyPictureBmp(), "BMP");
    m_capture.SetStandbyPicture(standby);
    // A camera back after an unplug, a stall or another program's use: said once, and its
    // problem is over.
    connect(&m_capture, &CCaptureSession::DeviceBack, this,
            [this](const QString& text)
            {
                Line(text.toStdString());
                m_strDeviceProblem.clear();
                SetStatus({});
                emit DeviceChanged();
            });
    m_strTitle = "No Driver Selected";
}

CCameraServer::~CCameraServer()
{
    // No new connections; those still open are closed with the server.
    m_server.StopListening();
    m_service.SetOverlay(nullptr);
    m_pOverlay.reset();
    m_capture.Disconnect();
}

void CCameraServer::Message(const std::string& strText, unsigned nType,
                            const std::string& strCaption)
{
    if (m_context.pReporter != nullptr)
        m_context.pReporter->Message(strText, strCaption, nType);
}

void CCameraServer::Line(const std::string& strText)
{
    if (m_context.pReporter != nullptr)
        m_context.pReporter->Line(strText);
}

std::string CCameraServer::WorkingFile(const char* pszName) const
{
    return m_context.strWorkingFolder.empty() ? std::string(pszName)
                                              : m_context.strWorkingFolder + "/" + pszName;
}

void CCameraServer::SetTitle(const std::string& strTitle)
{
    m_strTitle = strTitle;
    emit TitleChanged(QString::fromStdString(strTitle));
}

void CCameraServer::SetStatus(const std::string& strText)
{
    if (strText == m_strStatus)
        return;
    const bool bHadProblem = !m_strStatus.empty();
    m_strStatus = strText;
    // Without a window, the end of a problem is said as plainly as the problem was.
    if (m_context.bHeadless && !strText.empty())
        Line(strText);
    else if (m_context.bHeadless && bHadProblem)
        Line("the problem above is gone; images are served again");
    emit StatusChanged(QString::fromStdString(strText));
}

bool CCameraServer::Start()
{
    SetTitle("No Driver Selected");
    CSettings::CaptionStatus captionKeys{};
    const LONG nStore = LoadWaitingForTheStore(captionKeys);
    const std::string strStore = m_context.strStore;
    const int nWaited = m_context.options.nStoreWaitSeconds.value_or(kStoreWaitSeconds);
    struct stat st;
    const bool bStoreExists = ::lstat(strStore.c_str(), &st) == 0;
    if (nStore == ERROR_BUSY && m_nStopSignal != 0)
    {
        Line(std::string("stopped by SIG") + sigabbrev_np(m_nStopSignal) +
             " while waiting for the settings store");
        return false;
    }
    if (nStore == ERROR_BUSY)
    {
        // Exit with an error so that a service manager tries again later.
        Message("The settings store " + strStore +
                    " is locked by another program; gave up waiting for it after " +
                    std::to_string(nWaited) + " seconds.",
                MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    if (nStore != ERROR_SUCCESS && nStore != ERROR_FILE_NOT_FOUND && !bStoreExists)
    {
        // No store, and none can be made here (a read-only home, say): the program runs on
        // with every default, each caption saying its key could not be opened; only Save
        // has something to refuse then.
        captionKeys.fill(nStore);
    }
    else if (nStore != ERROR_SUCCESS && nStore != ERROR_FILE_NOT_FOUND)
    {
        // A store that cannot be read (corrupt, foreign, a folder, locked too long) ends the
        // start with one message that names it, and it is never written.
        Message("The settings store " + strStore + " cannot be read: " + RegistryErrorText(nStore),
                MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    for (LONG nStatus : captionKeys)
        // A caption key that a read-only store lacks reads as a new caption.
        if (nStatus != ERROR_SUCCESS && nStatus != ERROR_FILE_NOT_FOUND)
            Message(RegistryErrorText(nStatus), MB_OK | MB_ICONINFORMATION, "Error opening key");
    // Options of this run change the record as the window would; only Save stores them.
    m_context.options.ApplyTo(m_settings);
    if (m_settings.UseOverlay != 0)
        LoadOverlay();
    // The device kept in the settings is connected again, then the server started.
    if (m_settings.CaptureDevice != -1)
    {
        const int nIndex = StoredDeviceIndex();
        m_settings.CaptureDevice = -1; // so that the call connects instead of toggling off
        SelectDriver(nIndex, true);
    }
    if (m_context.options.bLogRequests)
        m_server.SetRecorder([this](const CImageServer::CRecord& r) { LogRequest(r); });
    // Without a window nothing could open the server later: a process that serves nothing
    // must not pass for a healthy one.
    if (!StartServer() && m_context.bHeadless)
    {
        Line("nothing can be served; ending");
        return false;
    }
    if (m_context.bHeadless && m_settings.ServerEnabled != 0 && m_settings.CaptureDevice == -1)
        Line("no camera is chosen, so clients get the stand-by picture: choose one with "
             "--device 0 (vistrel --list-devices lists them)");
    return true;
}

void CCameraServer::LogRequest(const CImageServer::CRecord& r)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z", &local);
    const bool bV6 = r.strPeer.find(':') != std::string::npos;
    const std::string strClient =
        (bV6 ? "[" + r.strPeer + "]" : r.strPeer) + ":" + std::to_string(r.nPeerPort);
    const std::string strStatus = r.bReset         ? "reset"
                                  : r.nStatus == 0 ? std::string("-")
                                                   : std::to_string(r.nStatus);
    if (m_context.pReporter != nullptr)
        m_context.pReporter->Line(std::string(stamp) + " " + strClient + " " + strStatus + " " +
                                  std::to_string(r.nBytes) + " bytes " + std::to_string(r.nMs) +
                                  " ms");
}

LONG CCameraServer::LoadWaitingForTheStore(CSettings::CaptionStatus& captionKeys)
{
    using Clock = std::chrono::steady_clock;
    const int nWaitMs = 1000 * m_context.options.nStoreWaitSeconds.value_or(kStoreWaitSeconds);
    const auto start = Clock::now();
    auto attempt = [&](int nBusyMs)
    {
        const CRegistryHive::CBusyWait wait(nBusyMs);
        return m_settings.Load(m_context.strStore, &captionKeys);
    };
    LONG nStore = attempt(0);
    if (nStore != ERROR_BUSY)
        return nStore;
    Line("the settings store " + m_context.strStore +
         " is locked by another program; waiting for it");
    // Short attempts, so that the wait is the one asked for and a signal ends it at once.
    constexpr int kAttemptMs = 200;
    for (;;)
    {
        if (m_context.stopSignal)
            m_nStopSignal = m_context.stopSignal();
        const auto nLeft =
            nWaitMs -
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        if (m_nStopSignal != 0 || nLeft <= 0)
            return ERROR_BUSY;
        const auto tried = Clock::now();
        nStore = attempt(int(std::min<std::int64_t>(nLeft, kAttemptMs)));
        if (nStore != ERROR_BUSY)
            return nStore;
        // A lock given up without any wait (a reader that cannot upgrade, say) is not retried
        // in a busy loop.
        const auto nTook = Clock::now() - tried;
        if (nTook < std::chrono::milliseconds(kAttemptMs / 4))
            std::this_thread::sleep_for(std::chrono::milliseconds(kAttemptMs / 4) - nTook);
    }
}

void CCameraServer::LoadOverlay()
{
    auto pOverlay = std::make_shared<CDib>();
    const std::string file = WorkingFile("overlay.bmp");
    const auto result = pOverlay->Load(file.c_str());
    m_pOverlay = std::move(pOverlay);
    if (!result.Opened())
    {
        // The start goes on with an empty overlay, which draws nothing.
        Message("The overlay bitmap cannot be opened:\n" + result.Error().GetErrorMessage(),
                MB_OK | MB_ICONEXCLAMATION);
    }
    else if (m_pOverlay->IsEmpty())
    {
        Message("The overlay bitmap " + file +
                    " cannot be read: it is not a whole bitmap that can be drawn (cut short, "
                    "a header that is not a bitmap's, or pixels that do not fit its size); no "
                    "overlay is drawn.",
                MB_OK | MB_ICONEXCLAMATION);
    }
    m_service.SetOverlay(m_pOverlay);
}

int CCameraServer::StoredDeviceIndex()
{
    // An identity too long to read names a device that cannot be known; none takes its place.
    if (m_settings.nUnreadDeviceIdBytes != 0)
    {
        m_strDeviceProblem = "The capture device kept in the settings cannot be known: its "
                             "identity (CaptureDeviceId) is " +
                             std::to_string(m_settings.nUnreadDeviceIdBytes - 1) +
                             " characters long, more than the " +
                             std::to_string(CSettings::kMaxDeviceIdBytes - 1) + " it may have";
        return kMissingDevice;
    }
    // Known by identity: the index of a device that is not there, or that another device now
    // has, names nothing. A store from before identities were kept goes by index.
    if (m_settings.CaptureDeviceId.empty())
    {
        const int nIndex = m_settings.CaptureDevice;
        if (nIndex >= 0 && nIndex < m_drivers.Count())
            return nIndex;
        const int nCount = m_drivers.Count();
        m_strDeviceProblem =
            "The capture device " + std::to_string(nIndex) +
            " kept in the settings is not there: " +
            (nCount == 1 ? std::string("there is one capture device, number 0")
                         : "there are " + std::to_string(nCount) +
                               " capture devices, numbered 0 to " + std::to_string(nCount - 1));
        return kMissingDevice;
    }
    if (m_settings.CaptureDeviceIdIndex != -1 &&
        m_settings.CaptureDeviceIdIndex != m_settings.CaptureDevice)
    {
        // The index was set after the identity was saved with another one: it is the user's
        // newer word.
        Line("the capture device index " + std::to_string(m_settings.CaptureDevice) +
             " in the settings was changed since " + m_settings.CaptureDeviceId +
             " was kept there; the index is used");
        return m_settings.CaptureDevice;
    }
    for (int i = 0; i < m_drivers.Count(); ++i)
        if (m_drivers.Driver(i)->Identity() == m_settings.CaptureDeviceId)
            return i;
    m_strDeviceProblem = "The capture device " + m_settings.CaptureDeviceId +
                         " kept in the settings is not connected";
    return kMissingDevice;
}

void CCameraServer::KeepDeviceChoices(const std::string& strProblem)
{
    CCaptureDriver* pDriver = m_drivers.Driver(m_settings.CaptureDevice);
    if (pDriver == nullptr)
        return;
    if (!strProblem.empty())
        SetStatus(strProblem);
    const LONG n =
        CDeviceMemory::Save(m_context.strStore, pDriver->Identity(), pDriver->ChosenState());
    if (n != ERROR_SUCCESS)
        SetStatus("The choices for " + pDriver->Description() +
                  " could not be kept: " + RegistryErrorText(n));
    emit DeviceChanged();
}

bool CCameraServer::ConnectWithItsChoices(int nIndex, CCaptureDriver& driver)
{
    // What was chosen for this device before, in this run or an earlier one.
    std::string strProblem;
    driver.Restore(CDeviceMemory::Load(m_context.strStore, driver.Identity(), &strProblem));
    if (!strProblem.empty())
        Line(strProblem);
    return m_capture.Connect(nIndex);
}

void CCameraServer::SelectDriver(int nIndex, bool bAtStart)
{
    if (m_settings.CaptureDevice != -1)
        m_capture.Disconnect();
    // A device chosen now ends the word on one that was missing or busy.
    if (nIndex != kMissingDevice)
        m_strDeviceProblem.clear();
    CCaptureDriver* pDriver = m_drivers.Driver(nIndex);
    if (nIndex == m_settings.CaptureDevice)
    {
        m_settings.CaptureDevice = -1;
    }
    else if (nIndex == kMissingDevice)
    {
        Message("DOH! Can't open this driver", MB_OK);
        SetStatus(m_strDeviceProblem);
        m_settings.CaptureDevice = -1;
    }
    else if (pDriver == nullptr || !ConnectWithItsChoices(nIndex, *pDriver))
    {
        Message("DOH! Can't open this driver", MB_OK);
        if (bAtStart && pDriver != nullptr && pDriver->WasBusy())
        {
            // Kept, and tried every second like an unplugged camera: the other program may
            // let go of it; meanwhile clients get the stand-by picture.
            m_capture.KeepTrying(nIndex);
            m_strDeviceProblem = m_capture.LastError();
            SetStatus(m_strDeviceProblem);
            m_settings.CaptureDevice = nIndex;
            m_settings.CaptureDeviceId = pDriver->Identity();
            SetTitle(pDriver->Description());
            emit DeviceChanged();
            return;
        }
        if (!m_capture.LastError().empty())
            SetStatus(m_capture.LastError());
        m_settings.CaptureDevice = -1;
    }
    else
    {
        m_settings.CaptureDevice = nIndex;
        m_settings.CaptureDeviceId = pDriver->Identity();
        std::string name;
        m_drivers.GetDriverDescription(nIndex, name);
        SetTitle(name);
    }
    if (m_settings.CaptureDevice == -1)
    {
        m_settings.CaptureDeviceId.clear();
        SetTitle("No driver selected");
    }
    emit DeviceChanged();
}

void CCameraServer::SetPreviewEnabled(bool bEnabled)
{
    m_settings.PreviewEnabled = bEnabled ? 1 : 0;
}

void CCameraServer::SetServerEnabled(bool bEnabled)
{
    m_settings.ServerEnabled = bEnabled ? 1 : 0;
    StartServer();
}

void CCameraServer::ApplyServerSettings(unsigned nPort, int nHttpHeaders, int nServerEnabled,
                                        int nImageType)
{
    const bool bRestart =
        std::int32_t(nPort) != m_settings.ServerPort || nServerEnabled != m_settings.ServerEnabled;
    m_settings.ServerPort = std::int32_t(nPort);
    m_settings.HttpHeaders = nHttpHeaders;
    m_settings.ServerEnabled = nServerEnabled;
    m_settings.ImageType = nImageType;
    if (bRestart)
    {
        emit ServerEnabledChanged(m_settings.ServerEnabled != 0);
        StartServer();
    }
    else if (const auto allowed = CNetworkList::Parse(m_settings.ServerAllow, nullptr))
    {
        m_server.SetAllowed(*allowed, m_settings.HttpHeaders != 0); // a refusal's header
    }
}

CCameraServer::CImageChoices CCameraServer::ImageChoices() const
{
    CImageChoices c;
    c.nWidth = m_settings.ImageWidth;
    c.nHeight = m_settings.ImageHeight;
    c.nSizeChoice = m_settings.UseCustomSize;
    c.nQuality = m_settings.JpegQuality;
    c.nUseOverlay = m_settings.UseOverlay;
    c.overlayColor = m_settings.OverlayTransColor;
    c.captions = m_settings.captions;
    return c;
}

void CCameraServer::ApplyImageChoices(const CImageChoices& c)
{
    m_settings.ImageWidth = c.nWidth;
    m_settings.ImageHeight = c.nHeight;
    m_settings.UseCustomSize = c.nSizeChoice;
    m_settings.JpegQuality = c.nQuality;
    m_settings.UseOverlay = c.nUseOverlay;
    m_settings.OverlayTransColor = c.overlayColor;
    m_settings.captions = c.captions;
    // The overlay bitmap follows the setting; an overlay already held is not read again.
    if (m_settings.UseOverlay != 0 && !m_pOverlay)
        LoadOverlay();
    else if (m_settings.UseOverlay == 0)
    {
        m_service.SetOverlay(nullptr);
        m_pOverlay.reset();
    }
}

void CCameraServer::SaveSettings()
{
    const LONG nStatus = m_settings.Save(m_context.strStore);
    if (nStatus != ERROR_SUCCESS)
        Message("The settings could not be saved to " + m_context.strStore + ":\n\n" +
                    RegistryErrorText(nStatus),
                MB_OK | MB_ICONEXCLAMATION);
    // A failure also had its message.
    const std::string strText =
        nStatus == ERROR_SUCCESS ? "Settings saved to " + m_context.strStore
                                 : std::string("Settings not saved: ") + RegistryErrorText(nStatus);
    if (m_context.bHeadless)
        Line(strText);
    emit SaveReported(QString::fromStdString(strText));
}

bool CCameraServer::StartServer()
{
    m_server.StopListening();
    if (m_settings.ServerEnabled == 0)
    {
        if (m_context.bHeadless)
            Line("the web server is off; start Vistrel with --server on to serve images");
        return true;
    }
    // A port outside 1..65535 is refused rather than truncated to some other port; an address
    // or a list of who may connect that cannot be read, rather than serving everyone.
    const std::string strPort = std::to_string(m_settings.ServerPort);
    const bool bPortValid = m_settings.ServerPort >= 1 && m_settings.ServerPort <= 65535;
    std::string strWhy;
    std::string strAllowProblem;
    const auto allowed = CNetworkList::Parse(m_settings.ServerAllow, &strAllowProblem);
    const std::string strAddress = m_settings.ServerAddress;
    if (!bPortValid)
        strWhy = "port " + strPort + ", which is not between 1 and 65535";
    else if (!allowed)
        strWhy = "port " + strPort + ": ServerAllow " + strAllowProblem;
    else if (!m_server.Listen(unsigned(m_settings.ServerPort), strAddress))
    {
        const int nError = m_server.LastError();
        strWhy = (strAddress.empty() ? std::string() : strAddress + " ") + "port " + strPort +
                 ": " +
                 (nError == EINVAL && !strAddress.empty()
                      ? "ServerAddress is not localhost or an address of this machine as numbers"
                      : std::string(std::strerror(nError)));
    }
    if (!strWhy.empty())
    {
        Message("Aieeee! Can't open server on configured port\n", MB_OK);
        // Which port, and why: the message box has no room for it.
        if (!m_context.bHeadless)
            Line("can't open the server on " + strWhy);
        SetStatus("Can't open the server on " + strWhy);
        return false;
    }
    m_server.SetAllowed(*allowed, m_settings.HttpHeaders != 0);
    if (m_context.bHeadless)
    {
        const std::string strPortNow = std::to_string(m_server.Port());
        std::string strLine;
        if (strAddress.empty())
        {
            strLine = "serving images at http://127.0.0.1:" + strPortNow + "/";
            if (m_server.IsIPv6())
                strLine += " and http://[::1]:" + strPortNow + "/";
            strLine += " (every interface)";
        }
        else if (strAddress == "localhost")
        {
            strLine = "serving images at http://localhost:" + strPortNow + "/ (this machine only)";
        }
        else
        {
            const bool bV6 = strAddress.find(':') != std::string::npos;
            strLine = "serving images at http://" + (bV6 ? "[" + strAddress + "]" : strAddress) +
                      ":" + strPortNow + "/";
        }
        if (!allowed->AllowsEveryone())
            strLine += " to " + m_settings.ServerAllow + " only";
        Line(strLine);
    }
    return true;
}

void CCameraServer::Finish(int nGraceMs, std::function<void()> done)
{
    m_server.Finish(nGraceMs, std::move(done));
}
