#pragma once
// The image service's pipeline, from a request to the bytes of its response. On the thread
// that accepts connections it waits for a fresh frame and copies it once; everything else (the
// frame's working file, the drawing, the encoding, the response) runs on its build threads,
// and the response comes back to this thread. It reads what its owner hands it (the settings
// record, the frame source, the overlay, the working folder) at every request, and reports the
// last problem it met.

#include "imaging/Dib.h"
#include "platform/capture/FrameSource.h"
#include "service/HandOver.h"
#include "service/SnapshotSource.h"
#include "service/SnapshotWorkers.h"
#include "settings/Settings.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class CSnapshotService : public CSnapshotSource
{
public:
    // The settings are read at every request; they must outlive the service.
    explicit CSnapshotService(const CSettings& settings);
    // Stops the build threads first: nothing is delivered after this.
    ~CSnapshotService() override;
    CSnapshotService(const CSnapshotService&) = delete;
    CSnapshotService& operator=(const CSnapshotService&) = delete;

    // What the service reads: the frame source, the overlay (null: none) and the folder of the
    // working files ("" = the current directory). Each is used until it is set again; builds
    // under way keep what they started with.
    void SetFrameSource(CFrameSource* pCapture) { m_pCapture = pCapture; }
    void SetOverlay(std::shared_ptr<const CDib> pOverlay) { m_pOverlay = std::move(pOverlay); }
    void SetWorkingDirectory(std::string strDirectory) { m_strDirectory = std::move(strDirectory); }
    // Told, after every build, the problem it met ("" when none).
    void SetStatusHandler(std::function<void(const std::string&)> fn)
    {
        m_onStatus = std::move(fn);
    }

    // A camera's fresh frame is waited for on the event loop; requests that come together
    // share it.
    void BuildSnapshotLater(Delivery done) override;

private:
    void BuildNow(Delivery done);
    // The scene builds read now: the one made last, or a new one when anything changed.
    std::shared_ptr<const CSnapshotBuilder::CScene> Scene();
    void Report(const std::string& strProblem);

    const CSettings& m_settings;
    CFrameSource* m_pCapture = nullptr;
    std::shared_ptr<const CDib> m_pOverlay;
    std::string m_strDirectory;
    std::shared_ptr<const CSnapshotBuilder::CScene> m_pScene;
    std::function<void(const std::string&)> m_onStatus;
    std::uint64_t m_nTaken = 0; // frames taken so far: their order for the working files
    // A frame's wait ends through it; with it gone, the wait does nothing.
    std::unique_ptr<QObject> m_pContext = std::make_unique<QObject>();
    // Built responses come back to this thread through it; with it gone, none arrives.
    std::unique_ptr<CHandOver> m_pHandOver = std::make_unique<CHandOver>();
    std::unique_ptr<CSnapshotWorkers> m_pWorkers = std::make_unique<CSnapshotWorkers>();
};
