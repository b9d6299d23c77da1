#pragma once
// The program's one view: it owns the settings record, the capture window and the overlay
// bitmap, and hands them to the image service, whose server it starts and stops.
// It is a form (template 101) with "View Preview", "Enable Web Server" and the capture window.

#include "imaging/Dib.h"
#include "platform/capture/CaptureWindow.h"
#include "platform/capture/DriverList.h"
#include "platform/ui/CmdTarget.h"
#include "platform/ui/FormView.h"
#include "service/ImageServer.h"
#include "service/SnapshotService.h"
#include "settings/RunOptions.h"
#include "settings/Settings.h"

#include <QPointer>

#include <memory>
#include <string>
#include <vector>

class CVistrelView : public CFormView, public CCmdTarget
{
    Q_OBJECT
public:
    static constexpr int kPreviewRateMs = 66;
    // How long the start waits, by default, for a store another program holds locked.
    static constexpr int kStoreWaitSeconds = 60;
    static constexpr int IDD = 101;
    static constexpr int IDC_PREVIEW = 1001;
    static constexpr int IDC_ENABLE_SERVER = 1005;
    static constexpr int IDC_PLACEHOLDER = 1011;
    static constexpr int ID_VIDEO_SOURCE = 32772;
    static constexpr int ID_VIDEO_FORMAT = 32773;
    static constexpr int ID_VIDEO_DISPLAY = 32774;
    static constexpr int ID_OPTIONS_SERVER = 32775;
    static constexpr int ID_OPTIONS_IMAGE = 32776;
    static constexpr int ID_FILE_SAVE = 57603;
    static constexpr int ID_DRIVER_FIRST = 35000;
    static constexpr int kMaxDriverItems = 100;

    static const CDlgTemplate& FormTemplate();

    CVistrelView(const CDriverList& drivers, QWidget* pParent = nullptr);
    ~CVistrelView() override;

    // Start-up: capture window, settings, overlay, the saved driver, the server, the extent.
    void OnInitialUpdate() override;
    // Connects the driver with this index, or disconnects it when it is the connected one. At
    // the start a camera in use by another program is kept and tried again every second.
    void SelectDriver(int nIndex, bool bAtStart = false);
    void OnUpdateDriverMenu(int nIndex, CCmdUI* pCmdUI);
    // (Re)creates the listening socket from the settings.
    void StartServer();
    // Driver items 35000 + index (up to 100) are routed here besides the command table.
    bool OnCmdMsg(int nID, int nCode, CCmdUI* pCmdUI) override;
    bool HasCommandHandler(int nID) const override;

    void OnPreview();
    void OnEnableServer();
    void OnVideoSource();
    void OnVideoFormat();
    void OnVideoDisplay();
    void OnUpdateVideoDialog(CCmdUI* pCmdUI);
    void OnServerSettings();
    void OnImageSettings();
    void OnSaveSettings();
    // Scroll sizes from the capture window (never smaller than the form's own controls), and
    // the frame resized to fit.
    void UpdateScrollExtent();
    QSize ScrollExtent() const { return m_extent; }

    const std::string& DocumentTitle() const { return m_strTitle; }
    // The last problem the image service met, shown in the status bar (and, without a
    // screen, printed to standard error when it changes).
    const std::string& StatusText() const { return m_strStatus; }
    // Where the working files live; empty for the current directory.
    void SetWorkingDirectory(const std::string& strDirectory);
    // Settings given for this run only (the command line), laid over the loaded ones.
    void SetRunOptions(const CRunOptions& options) { m_runOptions = options; }
    // True when the start-up stopped because the settings could not be read at all.
    bool StartFailed() const { return m_bStartFailed; }
    // The port the server listens on, 0 when it does not.
    unsigned ListeningPort() const;

    CSettings m_settings;
    QPointer<CCaptureWindow> m_hCapWnd;
    std::unique_ptr<CDib> m_pOverlay;
    // What serves the images: the pipeline, and the server that asks it for every connection.
    CSnapshotService m_service{m_settings};
    CImageServer m_server{m_service};

signals:
    void TitleChanged(const QString& title);
    void StatusTextChanged(const QString& text);
    // After File > Save Settings: saved where, or why not.
    void SaveReported(const QString& text);
    // The scroll extent changed: the frame resizes itself around the view.
    void ResizeParentToFit(const QSize& extent);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void SetTitle(const std::string& strTitle);
    void SetStatusText(const std::string& strText);
    LONG LoadWaitingForTheStore();
    // The index the stored device has now, kMissingDevice when it is not connected.
    int StoredDeviceIndex() const;
    // Keeps what was chosen in the device's dialogs, under its identity.
    void KeepDeviceChoices();
    bool ConnectWithItsChoices(int nIndex, CCaptureDriver& driver);
    static constexpr int kMissingDevice = -2;
    // Loads "overlay.bmp" into a new overlay bitmap; a file that cannot be opened is reported.
    void LoadOverlay();
    void ResizeCaptureWindowToFrame();
    std::string WorkingFile(const char* pszName) const;

    const CDriverList& m_drivers;

public:
    // The connected driver and its frames; the capture window shows them.
    CCaptureSession m_capture{m_drivers};

protected:
    std::string m_strTitle;
    std::string m_strStatus;
    std::string m_strDirectory;
    CRunOptions m_runOptions;
    bool m_bStartFailed = false;
    QSize m_extent;
};
