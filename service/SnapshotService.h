#pragma once
// The image service's pipeline, from a request to the bytes of its response: it waits for a
// fresh frame, grabs and draws it on this thread with the pictures from its pool, has a JPEG
// encoded on its encoding threads, and reports the last problem it met. It reads what its
// owner hands it — the settings record, the frame source, the overlay, the working directory —
// and owns the rest.

#include "imaging/Dib.h"
#include "platform/capture/FrameSource.h"
#include "service/BitmapPool.h"
#include "service/HandOver.h"
#include "service/SnapshotEncoder.h"
#include "service/SnapshotSource.h"
#include "settings/Settings.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CSnapshotService : public CSnapshotSource
{
public:
    // The settings are read at every request; they must outlive the service.
    explicit CSnapshotService(const CSettings& settings);
    // Stops encoding first: nothing is delivered after this.
    ~CSnapshotService() override;
    CSnapshotService(const CSnapshotService&) = delete;
    CSnapshotService& operator=(const CSnapshotService&) = delete;

    // What the service reads: the frame source, the overlay (null: none) and the folder of the
    // working files ("" = the current directory). Each is used until it is set again.
    void SetFrameSource(CFrameSource* pCapture) { m_pCapture = pCapture; }
    void SetOverlay(const CDib* pOverlay) { m_pOverlay = pOverlay; }
    void SetWorkingDirectory(std::string strDirectory) { m_strDirectory = std::move(strDirectory); }
    // Told, after every build, the problem it met ("" when none).
    void SetStatusHandler(std::function<void(const std::string&)> fn)
    {
        m_onStatus = std::move(fn);
    }

    // A camera's fresh frame is waited for on the event loop; requests that come together
    // share it.
    void BuildSnapshotLater(bool bIncludeStatusLine, Delivery done) override;
    // Returns when every encoding started has been handed back to the event loop.
    void WaitUntilEncoded();

private:
    void ComposeNow(bool bIncludeStatusLine, Delivery done);
    void Report(const std::string& strProblem);

    const CSettings& m_settings;
    CFrameSource* m_pCapture = nullptr;
    const CDib* m_pOverlay = nullptr;
    std::string m_strDirectory;
    std::function<void(const std::string&)> m_onStatus;
    CBitmapPool m_pool;
    std::vector<std::uint8_t> m_frameBytes;
    std::uint64_t m_nComposed = 0; // pictures composed so far: their order for "frame.jpg"
    // A frame's wait ends through it; with it gone, the wait does nothing.
    std::unique_ptr<QObject> m_pContext = std::make_unique<QObject>();
    // Encoded results come back to this thread through it; with it gone, none arrives.
    std::unique_ptr<CHandOver> m_pHandOver = std::make_unique<CHandOver>();
    std::unique_ptr<CSnapshotEncoder> m_pEncoder;
};
