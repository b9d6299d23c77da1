#include "service/SnapshotService.h"

#include <QPointer>

#include <cstring>

CSnapshotService::CSnapshotService(const CSettings& settings) : m_settings(settings) {}

CSnapshotService::~CSnapshotService()
{
    // First the threads, which hand their results over; then the hand-over, so that results
    // already on their way are dropped; then the context, so that a frame's wait does nothing.
    m_pWorkers.reset();
    m_pHandOver.reset();
    m_pContext.reset();
}

void CSnapshotService::Report(const std::string& strProblem)
{
    if (m_onStatus)
        m_onStatus(strProblem);
}

std::shared_ptr<const CSnapshotBuilder::CScene> CSnapshotService::Scene()
{
    if (!m_pScene || m_pScene->settings != m_settings || m_pScene->pOverlay != m_pOverlay ||
        m_pScene->strDirectory != m_strDirectory)
        m_pScene = std::make_shared<const CSnapshotBuilder::CScene>(
            CSnapshotBuilder::CScene{m_settings, m_pOverlay, m_strDirectory});
    return m_pScene;
}

void CSnapshotService::BuildSnapshotLater(Delivery done)
{
    if (m_pCapture == nullptr || m_settings.CaptureDevice == -1)
    {
        BuildNow(std::move(done));
        return;
    }
    // The wait may outlast the service (the frame source is its owner's): the call then
    // finds the context gone and does nothing.
    QPointer<QObject> context(m_pContext.get());
    m_pCapture->WhenFrameReady(
        [this, context, done]
        {
            if (context)
                BuildNow(done);
        });
}

void CSnapshotService::BuildNow(Delivery done)
{
    CSnapshotBuilder::CJob job;
    job.pScene = Scene();
    job.nSequence = ++m_nTaken;
    if (m_settings.CaptureDevice != -1 && m_pCapture != nullptr)
    {
        if (m_pCapture->GrabFrameNoStop() && !m_pCapture->Frame().IsEmpty())
        {
            // The one copy of the frame's bytes: the camera's buffer takes the next frame
            // while this one is drawn elsewhere. Its rows get the BMP stride on the way.
            const CFrameBuffer& frame = m_pCapture->Frame();
            job.pFrame = m_pWorkers->TakeFrame();
            CSnapshotBuilder::CFrame& copy = *job.pFrame;
            copy.nWidth = frame.Width();
            copy.nHeight = frame.Height();
            const std::size_t nRow = std::size_t(copy.nWidth) * 3;
            const std::size_t nStride = copy.Stride();
            copy.rows.resize(nStride * std::size_t(copy.nHeight));
            for (int y = 0; y < copy.nHeight; ++y)
            {
                std::uint8_t* p = copy.rows.data() + nStride * std::size_t(y);
                std::memcpy(p, frame.Row(y), nRow);
                std::memset(p + nRow, 0, nStride - nRow);
            }
        }
        else
        {
            // No frame (the camera gone, stalled): the stand-by picture, and why.
            job.strProblem = "frame grab failed: " + m_pCapture->LastError();
        }
    }
    struct CCompletion
    {
        Delivery done;
        CSnapshotBuilder::CResult result;
        std::unique_ptr<std::uint8_t[]> pResponse;
    };
    auto pCompletion = std::make_shared<CCompletion>();
    pCompletion->done = std::move(done);
    m_pWorkers->Submit(std::move(job),
                       [this, pCompletion](CSnapshotBuilder::CResult result,
                                           std::unique_ptr<std::uint8_t[]> pBlock)
                       {
                           pCompletion->result = std::move(result);
                           pCompletion->pResponse = std::move(pBlock);
                           m_pHandOver->Post(
                               [this, pCompletion]
                               {
                                   Report(pCompletion->result.strProblem);
                                   pCompletion->done(pCompletion->result.nLength,
                                                     std::move(pCompletion->pResponse));
                               });
                       });
}
