#pragma once
// The camera server: everything Vistrel is without its window. It holds the settings record,
// the capture session (the connected device, its frames, its reconnects), the image service
// and the server that asks it for every connection, the overlay, the working folder and the
// status. The window shows it and changes it through the operations below; a run without a
// window builds it alone. It reports through its reporter and its signals.

#include "core/RunContext.h"
#include "imaging/Dib.h"
#include "platform/capture/CaptureSession.h"
#include "platform/capture/DriverList.h"
#include "service/ImageServer.h"
#include "service/SnapshotService.h"
#include "settings/Settings.h"

#include <QObject>

#include <array>
#include <functional>
#include <memory>
#include <string>

class CCameraServer : public QObject
{
    Q_OBJECT
public:
    // How long the start waits, by default, for a store another program keeps to itself.
    static constexpr int kStoreWaitSeconds = 60;
    // At the end, what responses are still being sent get this long to finish.
    static constexpr int kShutdownGraceMs = 800;

    // The drivers and the context's reporter must outlive it.
    CCameraServer(const CDriverList& drivers, CRunContext context,
                  CServerLimits limits = CServerLimits{});
    ~CCameraServer() override;
    CCameraServer(const CCameraServer&) = delete;
    CCameraServer& operator=(const CCameraServer&) = delete;

    // The start: the settings (read once, waiting for a store another program holds), this
    // run's options over them, the overlay, the device kept in the settings, the server.
    // False when the start must end (the reason has been reported).
    bool Start();
    // The signal that ended the start while it waited for the store (0: none did).
    int StoppedBySignal() const { return m_nStopSignal; }

    // Connects the driver with this index, or disconnects it when it is the connected one. At
    // the start a camera in use by another program is kept and tried again every second.
    void SelectDriver(int nIndex, bool bAtStart = false);
    void SetPreviewEnabled(bool bEnabled);
    void SetServerEnabled(bool bEnabled);
    // The server settings dialog's OK: a new port or on/off restarts the server.
    void ApplyServerSettings(unsigned nPort, int nHttpHeaders, int nServerEnabled, int nImageType);
    struct CImageChoices
    {
        std::int32_t nWidth = 0;
        std::int32_t nHeight = 0;
        std::int32_t nSizeChoice = 0;
        std::int32_t nQuality = 75;
        std::int32_t nUseOverlay = 0;
        COLORREF overlayColor = 0;
        std::array<CCaption, CSettings::kCaptionCount> captions;
    };
    CImageChoices ImageChoices() const;
    // The image settings dialog's OK: the overlay is read when it is turned on.
    void ApplyImageChoices(const CImageChoices& choices);
    // File > Save Settings: said in a message when it fails, and on SaveReported.
    void SaveSettings();
    // What was chosen in the device's dialogs is kept, under its identity; strProblem is why a
    // choice could not be made ("" when it was).
    void KeepDeviceChoices(const std::string& strProblem = {});
    // The end: no new connection; the responses being sent get up to nGraceMs, then what is
    // unfinished is reset; done is called from the event loop when all are gone.
    void Finish(int nGraceMs, std::function<void()> done);

    const CSettings& Settings() const { return m_settings; }
    const CDriverList& Drivers() const { return m_drivers; }
    CCaptureSession& Capture() { return m_capture; }
    CImageServer& Server() { return m_server; }
    CSnapshotService& Service() { return m_service; }
    const CDib* Overlay() const { return m_pOverlay.get(); }
    const std::string& Title() const { return m_strTitle; }
    // The last problem the image service met ("" when there is none).
    const std::string& Status() const { return m_strStatus; }
    const CRunContext& Context() const { return m_context; }

signals:
    void TitleChanged(const QString& title);
    void StatusChanged(const QString& text);
    // After Save Settings: saved where, or why not.
    void SaveReported(const QString& text);
    // The connected device, or its frame size, changed.
    void DeviceChanged();
    // The server was switched on or off.
    void ServerEnabledChanged(bool bEnabled);

private:
    void SetTitle(const std::string& strTitle);
    void SetStatus(const std::string& strText);
    void Message(const std::string& strText, unsigned nType, const std::string& strCaption = {});
    void Line(const std::string& strText);
    LONG LoadWaitingForTheStore(CSettings::CaptionStatus& captionKeys);
    int m_nStopSignal = 0;
    // The index the stored device has now, kMissingDevice when it is not connected.
    int StoredDeviceIndex();
    bool ConnectWithItsChoices(int nIndex, CCaptureDriver& driver);
    static constexpr int kMissingDevice = -2;
    // Reads "overlay.bmp" into a new overlay; a file that cannot be opened is reported.
    void LoadOverlay();
    // (Re)creates the listening socket from the settings; false (and said) when the server
    // is on and cannot be opened.
    bool StartServer();
    // One line for a connection that has ended (--log-requests).
    void LogRequest(const CImageServer::CRecord& record);
    std::string WorkingFile(const char* pszName) const;

    const CDriverList& m_drivers;
    CRunContext m_context;
    CSettings m_settings;
    CCaptureSession m_capture;
    std::shared_ptr<const CDib> m_pOverlay; // builds under way may still hold an older one
    CSnapshotService m_service{m_settings};
    CImageServer m_server;
    std::string m_strTitle;
    std::string m_strStatus;
    // Why the device kept in the settings is not serving ("" when nothing is wrong with it):
    // said until a device is chosen or comes back, whatever pictures are served meanwhile.
    std::string m_strDeviceProblem;
};
