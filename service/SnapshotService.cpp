#include "service/SnapshotService.h"

#include <QPointer>

CSnapshotService::CSnapshotService(const CSettings& settings) : m_settings(settings) {}

CSnapshotService::~CSnapshotService()
{
    // First the threads, which hand their results over; then the hand-over, so that results
    // already on their way are dropped.
    m_pEncoder.reset();
    m_pHandOver.reset();
    m_pContext.reset();
}

void CSnapshotService::WaitUntilEncoded()
{
    if (m_pEncoder)
        m_pEncoder->WaitUntilIdle();
}

void CSnapshotService::Report(const std::string& strProblem)
{
    if (m_onStatus)
        m_onStatus(strProblem);
}

void CSnapshotService::BuildSnapshotLater(bool bIncludeStatusLine, Delivery done)
{
    if (m_pCapture == nullptr || m_settings.CaptureDevice == -1)
    {
        ComposeNow(bIncludeStatusLine, std::move(done));
        return;
    }
    // The wait may outlast the service (the frame source is its owner's): the call then
    // finds the context gone and does nothing.
    QPointer<QObject> context(m_pContext.get());
    m_pCapture->WhenFrameReady(
        [this, context, bIncludeStatusLine, done]
        {
            if (context)
                ComposeNow(bIncludeStatusLine, done);
        });
}

void CSnapshotService::ComposeNow(bool bIncludeStatusLine, Delivery done)
{
    // Grabbing and drawing happen here, at once; a JPEG is encoded on an encoding thread
    // while this thread goes on with the next request, and delivered back here.
    const CSnapshotBuilder::CInputs in{m_settings,     m_pCapture, m_pOverlay,
                                       m_strDirectory, &m_pool,    &m_frameBytes};
    CSnapshotBuilder::CComposed composed;
    std::unique_ptr<std::uint8_t[]> pResponse;
    const auto result = CSnapshotBuilder::Compose(in, composed, pResponse, bIncludeStatusLine);
    if (!composed.bNeedsEncoding)
    {
        m_pool.Release(std::move(composed.pSection));
        Report(result.strProblem);
        done(result.nLength, std::move(pResponse));
        return;
    }
    if (!m_pEncoder)
        m_pEncoder = std::make_unique<CSnapshotEncoder>();
    composed.nSequence = ++m_nComposed;
    struct CCompletion
    {
        Delivery done;
        std::string strComposeProblem;
        CSnapshotBuilder::CResult result;
        std::unique_ptr<std::uint8_t[]> pResponse;
        std::unique_ptr<CDibSection> pSection;
    };
    auto pCompletion = std::make_shared<CCompletion>();
    pCompletion->done = std::move(done);
    pCompletion->strComposeProblem = result.strProblem;
    m_pEncoder->Submit(std::move(composed),
                       [this, pCompletion](CSnapshotBuilder::CResult encoded,
                                           std::unique_ptr<std::uint8_t[]> pBlock,
                                           std::unique_ptr<CDibSection> pSection)
                       {
                           pCompletion->result = std::move(encoded);
                           pCompletion->pResponse = std::move(pBlock);
                           pCompletion->pSection = std::move(pSection);
                           m_pHandOver->Post(
                               [this, pCompletion]
                               {
                                   m_pool.Release(std::move(pCompletion->pSection));
                                   const std::string& strProblem = pCompletion->result.strProblem;
                                   Report(strProblem.empty() ? pCompletion->strComposeProblem
                                                             : strProblem);
                                   pCompletion->done(pCompletion->result.nLength,
                                                     std::move(pCompletion->pResponse));
                               });
                       });
}
