#include "service/SnapshotBuilder.h"

#include "platform/file/File.h"
#include "platform/gdi/BmpFile.h"
#include "platform/gdi/MemoryDC.h"
#include "res/StandbyPicture.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <new>

const char* const CSnapshotBuilder::kProductId = "Vistrel-quenlor.example.com/vistrel/";

namespace
{
// An encoder buffer up to this size is kept whatever the picture.
constexpr std::size_t kKeptEncoderBytes = std::size_t(8) << 20;

std::unique_ptr<std::uint8_t[]> Allocate(std::int64_t n)
{
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[std::size_t(n)]);
}

std::string OneLine(std::string s)
{
    for (char& c : s)
        if (c == '\r' || c == '\n')
            c = ' ';
    return s;
}

// The HTTP header of a picture, when headers are on: made once, read by every build.
const std::string& Header(const CSettings& s)
{
    static const std::string kNone;
    static const std::string kLines = std::string("HTTP/1.0 200 OK\r\nServer: ") +
                                      CSnapshotBuilder::kProductId + "\r\nExpires: 0\r\n";
    static const std::string kBmp = kLines + "Content-type: image/bmp\r\n\r\n";
    static const std::string kJpeg = kLines + "Content-type: image/jpeg\r\n\r\n";
    if (s.HttpHeaders == 0)
        return kNone;
    return s.ImageType != 0 ? kBmp : kJpeg;
}

// Writes a working file from a picture taken at nSequence, unless a later one is there
// already; false (errno set) when it cannot be written.
template <class Write>
bool WriteInOrder(CSnapshotBuilder::CWorkingFile* pFile, std::uint64_t nSequence, Write write)
{
    if (pFile == nullptr)
        return write();
    std::lock_guard<std::mutex> guard(pFile->lock);
    if (nSequence != 0 && nSequence < pFile->nNewest)
        return true; // an older picture is served, not written over a newer one
    if (!write())
        return false;
    pFile->nNewest = nSequence;
    return true;
}
} // namespace

std::int64_t CSnapshotBuilder::OutputSize(std::int32_t nCode, std::int64_t nFrame)
{
    if (nCode == 1)
        return nFrame >> 1;
    if (nCode < 5)
        return nFrame * nCode;
    return nCode;
}

CSnapshotBuilder::CResult CSnapshotBuilder::Failure(bool bHeaders,
                                                    std::unique_ptr<std::uint8_t[]>& pBlock,
                                                    std::string strReason)
{
    CResult result;
    result.bFailed = true;
    result.strProblem = OneLine(std::move(strReason));
    pBlock.reset();
    if (!bHeaders)
        return result; // no header means no way to say it: the client sees a clean close
    const std::string text = std::string("HTTP/1.0 503 Service Unavailable\r\nServer: ") +
                             kProductId + "\r\nContent-type: text/plain\r\n\r\n" +
                             result.strProblem + "\r\n";
    pBlock = Allocate(std::int64_t(text.size()));
    if (pBlock)
    {
        std::memcpy(pBlock.get(), text.data(), text.size());
        result.nLength = int(text.size());
    }
    return result;
}

CSnapshotBuilder::CResult CSnapshotBuilder::Build(CJob& job, CThreadState& state,
                                                  std::unique_ptr<std::uint8_t[]>& pBlock)
{
    const CScene& scene = *job.pScene;
    const CSettings& s = scene.settings;
    const bool bHeaders = s.HttpHeaders != 0;
    pBlock.reset();

    // The frame: the grab, saved to "capframe.bmp" from its rows as they lie and drawn from
    // them; without one, the stand-by file as the user made it, else the built-in card.
    CDib standby;
    BYTE frameInfo[64] = {};
    std::int64_t nFrameW = 0;
    std::int64_t nFrameH = 0;
    const CFrame* pFrame = job.pFrame.get();
    if (pFrame != nullptr)
    {
        std::string why;
        const std::string file = scene.WorkingFile("capframe.bmp");
        if (!WriteInOrder(state.pFiles != nullptr ? &state.pFiles->frame : nullptr, job.nSequence,
                          [&]
                          {
                              return CBmpFile::Write(file, pFrame->nWidth, pFrame->nHeight,
                                                     pFrame->rows.data(), pFrame->Stride(),
                                                     state.pieces, &why);
                          }))
            return Failure(bHeaders, pBlock, "no frame could be saved: " + why);
        nFrameW = pFrame->nWidth;
        nFrameH = pFrame->nHeight;
        // The info header with room after it, as a loaded bitmap keeps it: the drawing layer
        // reads where masks would be.
        CBmpFile::InfoHeader24(frameInfo, LONG(nFrameW), -LONG(nFrameH), 0);
    }
    else
    {
        const auto loaded = standby.Load(scene.WorkingFile("capoff.bmp").c_str());
        if (!loaded.Opened())
        {
            CFile memory;
            memory.OpenMemory(StandbyPictureBmp().constData(),
                              std::size_t(StandbyPictureBmp().size()));
            standby.ReadFrom(memory);
        }
        nFrameW = standby.Width();
        nFrameH = standby.Height();
    }

    // The output size: the frame's own or the one configured, and a bitmap of that size.
    const std::int64_t w = s.UseCustomSize ? OutputSize(s.ImageWidth, nFrameW) : nFrameW;
    const std::int64_t h = s.UseCustomSize ? OutputSize(s.ImageHeight, nFrameH) : nFrameH;
    if (w <= 0 || h <= 0)
    {
        if (nFrameW == 0 && !s.UseCustomSize)
            return Failure(bHeaders, pBlock, "the frame file is not a readable bitmap");
        return Failure(bHeaders, pBlock,
                       "the output size " + std::to_string(w) + "x" + std::to_string(h) +
                           " is empty");
    }
    // What the picture takes while it is built, reserved before any of it is allocated.
    const std::int64_t nStride = (w * 3 + 3) & ~std::int64_t(3);
    const std::int64_t nNeed =
        h > std::numeric_limits<std::int64_t>::max() / 4 / nStride ? -1 : 2 * nStride * h;
    const std::int64_t nBudget = state.pBudget != nullptr ? state.pBudget->Total() : -1;
    const CMemoryBudget::CHold memory(state.pBudget, nNeed < 0 ? nBudget + 1 : nNeed);
    if (memory.Result() == CMemoryBudget::Outcome::TooLarge)
        return Failure(
            bHeaders, pBlock,
            "the picture " + std::to_string(w) + "x" + std::to_string(h) + " would take " +
                (nNeed < 0 ? std::string("more memory than there is")
                           : std::to_string((nNeed + (1 << 20) - 1) >> 20) + " MiB") +
                ", more than the " + std::to_string(nBudget >> 20) + " MiB a picture may take");
    if (memory.Result() == CMemoryBudget::Outcome::Stopped)
        return Failure(bHeaders, pBlock, "the program is ending");
    std::unique_ptr<CDibSection> pSection;
    if (w <= INT_MAX && h <= INT_MAX)
        pSection = state.pool.Acquire(int(w), int(h));
    if (!pSection)
        return Failure(bHeaders, pBlock,
                       "no " + std::to_string(w) + "x" + std::to_string(h) + " bitmap can be made");
    struct CReturn // the bitmap goes back to the thread's pool however the build ends
    {
        CBitmapPool& pool;
        std::unique_ptr<CDibSection>& p;
        ~CReturn() { pool.Release(std::move(p)); }
    } giveBack{state.pool, pSection};
    CDibSection& section = *pSection;

    // Drawing: the frame stretched to the output, the overlay, then the captions.
    CMemoryDC dc;
    dc.SelectBitmap(&section);
    dc.SetTextCache(&state.texts);
    const RECT dest{0, 0, LONG(w), LONG(h)};
    const RECT src{0, 0, LONG(nFrameW), LONG(nFrameH)};
    const int nDrawn =
        pFrame != nullptr ? CDib::DrawBits(dc, dest, src, frameInfo, sizeof frameInfo,
                                           pFrame->rows.data(), pFrame->rows.size(), DWORD(nFrameH))
                          : standby.Draw(dc, dest, src);
    // Stretched over the whole picture, a frame sets every pixel of it (pixels a run-length
    // frame skips are drawn in its first colour); only when it draws nothing does a bitmap
    // from the pool need clearing.
    if (nDrawn == 0)
        std::memset(section.Bits(), 0, std::size_t(section.ImageBytes()));
    if (scene.pOverlay)
        scene.pOverlay->DrawTransparent(
            dc, dest, RECT{0, 0, LONG(scene.pOverlay->Width()), LONG(scene.pOverlay->Height())},
            s.OverlayTransColor);
    for (const CCaption& caption : s.captions)
        caption.Draw(dc, dest);

    const std::string& header = Header(s);
    const std::int64_t nHeader = std::int64_t(header.size());
    CResult result;
    result.strProblem = job.strProblem;
    if (s.ImageType != 0)
    {
        // BMP body: the headers, the section's rows as they lie in memory.
        const std::int64_t nImage = section.ImageBytes();
        const std::int64_t nTotal = nHeader + std::int64_t(CBmpFile::kHeadersSize) + nImage;
        if (nTotal > INT_MAX)
            return Failure(bHeaders, pBlock, "the image is too large to send");
        pBlock = Allocate(nTotal);
        if (!pBlock)
            return Failure(bHeaders, pBlock, "out of memory");
        std::uint8_t* p = pBlock.get();
        std::memcpy(p, header.data(), header.size());
        // The output bitmap's own info header: image size 0, as a section has it.
        CBmpFile::Headers24(p + nHeader, LONG(w), LONG(h), 0);
        std::memcpy(p + nHeader + CBmpFile::kHeadersSize, section.Bits(), std::size_t(nImage));
        result.nLength = int(nTotal);
        return result;
    }

    // JPEG body: encoded in memory after the header; "frame.jpg" is written from the same
    // bytes, so what is served is the file byte for byte.
    std::vector<std::uint8_t>& bytes = state.bytes;
    CJpegWriter& writer = state.writer;
    writer.SetQuality(s.JpegQuality);
    if (writer.Encode(section.Bits(), section.Width(), section.Height(), bytes,
                      std::size_t(nHeader)) != 0)
    {
        const std::string& why = writer.LastMessage();
        return Failure(bHeaders, pBlock,
                       "JPEG encoding failed" + (why.empty() ? std::string() : ": " + why));
    }
    std::memcpy(bytes.data(), header.data(), header.size());
    const std::size_t nJpeg = bytes.size() - std::size_t(nHeader);
    const std::string strJpeg = scene.WorkingFile("frame.jpg");
    if (!WriteInOrder(state.pFiles != nullptr ? &state.pFiles->jpeg : nullptr, job.nSequence,
                      [&]
                      { return OverwriteFile(strJpeg.c_str(), bytes.data() + nHeader, nJpeg); }))
        return Failure(bHeaders, pBlock,
                       "JPEG encoding failed: " + CFileException(errno, strJpeg).GetErrorMessage());
    if (bytes.size() > std::size_t(INT_MAX))
        return Failure(bHeaders, pBlock, "the image is too large to send");
    pBlock = Allocate(std::int64_t(bytes.size()));
    if (!pBlock)
        return Failure(bHeaders, pBlock, "out of memory");
    std::memcpy(pBlock.get(), bytes.data(), bytes.size());
    result.nLength = int(bytes.size());
    // The encoder's buffer is kept for the next picture, unless it is far larger than this
    // one: a single large picture must not keep its memory.
    if (bytes.capacity() > kKeptEncoderBytes && bytes.capacity() / 4 > bytes.size())
        std::vector<std::uint8_t>().swap(bytes);
    return result;
}
