#pragma once
// The program's one view and the hub of everything that serves images: it owns the settings
// record, the capture window, the JPEG writer, the listening socket and the overlay bitmap.

#include "imaging/Dib.h"
#include "imaging/JpegWriter.h"
#include "platform/capture/CaptureWindow.h"
#include "platform/capture/DriverList.h"
#include "service/ImageSocket.h"
#include "service/SnapshotSource.h"
#include "settings/Settings.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <string>

class CVistrelView : public QWidget, public CSnapshotSource
{
    Q_OBJECT
public:
    static constexpr int kPreviewRateMs = 66;

    CVistrelView(const CDriverList& drivers, QWidget* pParent = nullptr);
    ~CVistrelView() override;

    // Start-up: capture window, settings, overlay, the saved driver, the server.
    void OnInitialUpdate();
    // Connects the driver with this index, or disconnects it when it is the connected one.
    void SelectDriver(int nIndex);
    // (Re)creates the listening socket from the settings.
    void StartServer();
    int BuildSnapshot(std::unique_ptr<std::uint8_t[]>& pResponse, bool bIncludeStatusLine) override;

    const std::string& DocumentTitle() const { return m_strTitle; }
    // The last problem the image service met, shown in the status bar (and, without a
    // screen, printed to standard error when it changes).
    const std::string& StatusText() const { return m_strStatus; }
    // Where the working files live; empty for the current directory.
    void SetWorkingDirectory(const std::string& strDirectory) { m_strDirectory = strDirectory; }
    // The port the server listens on, 0 when it does not.
    unsigned ListeningPort() const;

    CSettings m_settings;
    QPointer<CCaptureWindow> m_hCapWnd;
    CJpegWriter m_jpegWriter;
    std::unique_ptr<CImageSocket> m_pListenSocket;
    std::unique_ptr<CDib> m_pOverlay;

signals:
    void TitleChanged(const QString& title);
    void StatusTextChanged(const QString& text);

protected:
    void SetTitle(const std::string& strTitle);
    void SetStatusText(const std::string& strText);
    // Loads "overlay.bmp" into a new overlay bitmap; a file that cannot be opened is reported.
    void LoadOverlay();
    std::string WorkingFile(const char* pszName) const;

    const CDriverList& m_drivers;
    std::string m_strTitle;
    std::string m_strStatus;
    std::string m_strDirectory;
    std::unique_ptr<CDibSection> m_pOutputCache;
};
