#include "service/SnapshotBuilder.h"

#include "platform/gdi/DibSection.h"
#include "platform/gdi/MemoryDC.h"
#include "res/StandbyPicture.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

const char* const CSnapshotBuilder::kProductId = "Vistrel-quenlor.example.com/vistrel/";

namespace
{
constexpr int kBmpHeaders = 54;

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

CSnapshotBuilder::CResult CSnapshotBuilder::Compose(const CInputs& in, CComposed& out,
                                                    std::unique_ptr<std::uint8_t[]>& pBlock,
                                                    bool bIncludeStatusLine)
{
    out = CComposed{};
    const CSettings& s = in.settings;
    const bool bHeaders = s.HttpHeaders != 0;
    auto working = [&](const char* pszName)
    {
        return in.strDirectory.empty() ? std::string(pszName) : in.strDirectory + "/" + pszName;
    };
    pBlock.reset();
    std::string strProblem;

    // The frame: a fresh grab, saved to "capframe.bmp" as always and drawn from memory in the
    // same bytes the file holds; without a driver, or when the device gives no frame (gone,
    // stalled), the stand-by file, as the user made it, else the built-in card.
    CDib standby;
    std::vector<std::uint8_t> ownBytes;
    std::vector<std::uint8_t>& grabbed = in.pFrameBytes != nullptr ? *in.pFrameBytes : ownBytes;
    BYTE frameInfo[64] = {};
    const BYTE* pFrameInfo = nullptr;
    const BYTE* pFramePixels = nullptr;
    std::size_t nFrameInfoLen = 0;
    std::size_t nFramePixelsLen = 0;
    std::int64_t nFrameW = 0;
    std::int64_t nFrameH = 0;
    bool bStandby = s.CaptureDevice == -1;
    if (!bStandby)
    {
        if (in.pCapture == nullptr)
            return Failure(bHeaders, pBlock, "no capture window");
        if (!in.pCapture->GrabFrameNoStop())
        {
            strProblem = "frame grab failed: " + in.pCapture->LastError();
            bStandby = true;
        }
    }
    if (bStandby)
    {
        const auto loaded = standby.Load(working("capoff.bmp").c_str());
        if (!loaded.Opened())
        {
            // No stand-by file of the user's: the built-in card takes its place.
            CFile memory;
            memory.OpenMemory(StandbyPictureBmp().constData(),
                              std::size_t(StandbyPictureBmp().size()));
            standby.ReadFrom(memory);
        }
        nFrameW = standby.Width();
        nFrameH = standby.Height();
    }
    else
    {
        const std::string file = working("capframe.bmp");
        if (!in.pCapture->FileSaveDib(file.c_str()))
            return Failure(bHeaders, pBlock,
                           "no frame could be saved: " + in.pCapture->LastError());
        const CFrameBuffer& buffer = in.pCapture->Frame();
        if (buffer.IsEmpty())
            return Failure(bHeaders, pBlock, "no frame: the frame buffer is empty");
        nFrameW = buffer.Width();
        nFrameH = buffer.Height();
        // The info header with room after it, as a loaded bitmap keeps it: the drawing layer
        // reads where masks would be.
        const std::size_t nRow = std::size_t(nFrameW) * 3;
        if (nRow % 4 == 0)
        {
            // The frame's rows lie as a top-down bitmap's do: drawn where they are.
            WriteLE32(frameInfo, 40);
            WriteLE32(frameInfo + 4, DWORD(nFrameW));
            WriteLE32(frameInfo + 8, DWORD(-std::int32_t(nFrameH)));
            WriteLE16(frameInfo + 12, 1);
            WriteLE16(frameInfo + 14, 24);
            pFramePixels = buffer.Data();
            nFramePixelsLen = nRow * std::size_t(nFrameH);
        }
        else
        {
            // Rows that need padding: the bytes "capframe.bmp" holds.
            constexpr std::size_t kFileHeader = 14;
            buffer.DibFileBytes(grabbed);
            std::memcpy(frameInfo, grabbed.data() + kFileHeader, kBmpHeaders - kFileHeader);
            pFramePixels = grabbed.data() + kBmpHeaders;
            nFramePixelsLen = grabbed.size() - kBmpHeaders;
        }
        pFrameInfo = frameInfo;
        nFrameInfoLen = sizeof frameInfo;
    }
    const auto drawFrame = [&](CMemoryDC& dc, const RECT& dest)
    {
        const RECT src{0, 0, LONG(nFrameW), LONG(nFrameH)};
        if (pFrameInfo == nullptr)
            return standby.Draw(dc, dest, src);
        return CDib::DrawBits(dc, dest, src, pFrameInfo, nFrameInfoLen, pFramePixels,
                              nFramePixelsLen, DWORD(nFrameH));
    };

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
    // The picture is handed on with the result and goes back to the pool from there.
    if (w <= INT_MAX && h <= INT_MAX)
        out.pSection = in.pPool != nullptr ? in.pPool->Acquire(int(w), int(h))
                                           : CDibSection::Create(int(w), int(h));
    CDibSection* section = out.pSection.get();
    if (section == nullptr)
        return Failure(bHeaders, pBlock,
                       "no " + std::to_string(w) + "x" + std::to_string(h) + " bitmap can be made");

    // Drawing: the frame stretched to the output, the overlay, then the captions.
    CMemoryDC dc;
    dc.SelectBitmap(section);
    const RECT dest{0, 0, LONG(w), LONG(h)};
    // Stretched over the whole picture, a frame sets every pixel of it (pixels a run-length
    // frame skips are drawn in its first colour); only when it draws nothing does a bitmap
    // from the pool need clearing.
    if (drawFrame(dc, dest) == 0)
        std::memset(section->Bits(), 0, std::size_t(section->ImageBytes()));
    if (in.pOverlay != nullptr)
        in.pOverlay->DrawTransparent(
            dc, dest, RECT{0, 0, LONG(in.pOverlay->Width()), LONG(in.pOverlay->Height())},
            s.OverlayTransColor);
    for (const CCaption& caption : s.captions)
        caption.Draw(dc, dest);

    // The HTTP header, when it is sent.
    std::string header;
    if (bHeaders)
    {
        if (bIncludeStatusLine)
            header = std::string("HTTP/1.0 200 OK\r\nServer: ") + kProductId + "\r\nExpires: 0\r\n";
        header += s.ImageType != 0 ? "Content-type: image/bmp\r\n\r\n"
                                   : "Content-type: image/jpeg\r\n\r\n";
    }
    const std::int64_t nHeader = std::int64_t(header.size());

    CResult result;
    result.strProblem = strProblem;
    if (s.ImageType != 0)
    {
        // BMP body: file header, the section's info header, its rows as they lie in memory.
        const std::int64_t nImage = section->ImageBytes();
        const std::int64_t nTotal = nHeader + kBmpHeaders + nImage;
        if (nTotal > INT_MAX)
            return Failure(bHeaders, pBlock, "the image is too large to send");
        pBlock = Allocate(nTotal);
        if (!pBlock)
            return Failure(bHeaders, pBlock, "out of memory");
        std::uint8_t* p = pBlock.get();
        std::memcpy(p, header.data(), header.size());
        p += nHeader;
        WriteLE16(p, 0x4D42);
        WriteLE32(p + 2, DWORD(kBmpHeaders + nImage));
        WriteLE32(p + 6, 0);
        WriteLE32(p + 10, kBmpHeaders);
        std::memcpy(p + 14, &section->Info(), sizeof(BITMAPINFOHEADER));
        std::memcpy(p + kBmpHeaders, section->Bits(), std::size_t(nImage));
        result.nLength = int(nTotal);
        return result;
    }

    // The JPEG body is left to Encode, which may run on another thread: everything it
    // needs travels with the picture.
    out.bNeedsEncoding = true;
    out.strHeader = std::move(header);
    out.strJpegPath = working("frame.jpg");
    out.nQuality = s.JpegQuality;
    out.bHeaders = bHeaders;
    return result;
}

CSnapshotBuilder::CResult CSnapshotBuilder::Encode(const CComposed& composed, CEncoding& encoding,
                                                   std::unique_ptr<std::uint8_t[]>& pBlock)
{
    // Encoded in memory after the header; "frame.jpg" is written from the same bytes, so what
    // is served is the file byte for byte.
    const CDibSection& section = *composed.pSection;
    const std::string& header = composed.strHeader;
    std::vector<std::uint8_t>& bytes = encoding.bytes;
    CJpegWriter& writer = encoding.writer;
    writer.SetQuality(composed.nQuality);
    if (writer.Encode(section.Bits(), section.Width(), section.Height(), bytes, header.size()) != 0)
    {
        const std::string& why = writer.LastMessage();
        return Failure(composed.bHeaders, pBlock,
                       "JPEG encoding failed" + (why.empty() ? std::string() : ": " + why));
    }
    std::memcpy(bytes.data(), header.data(), header.size());
    const std::size_t nJpeg = bytes.size() - header.size();
    {
        std::unique_lock<std::mutex> guard;
        if (encoding.pFile != nullptr)
            guard = std::unique_lock<std::mutex>(encoding.pFile->lock);
        // A picture taken before the one the file holds is served, not written.
        const bool bOlder = encoding.pFile != nullptr && composed.nSequence != 0 &&
                            composed.nSequence < encoding.pFile->nNewest;
        if (!bOlder)
        {
            if (!OverwriteFile(composed.strJpegPath.c_str(), bytes.data() + header.size(), nJpeg))
                return Failure(composed.bHeaders, pBlock,
                               "JPEG encoding failed: " +
                                   CFileException(errno, composed.strJpegPath).GetErrorMessage());
            if (encoding.pFile != nullptr)
                encoding.pFile->nNewest = composed.nSequence;
        }
    }
    if (bytes.size() > std::size_t(INT_MAX))
        return Failure(composed.bHeaders, pBlock, "the image is too large to send");
    pBlock = Allocate(std::int64_t(bytes.size()));
    if (!pBlock)
        return Failure(composed.bHeaders, pBlock, "out of memory");
    std::memcpy(pBlock.get(), bytes.data(), bytes.size());
    CResult result;
    result.nLength = int(bytes.size());
    return result;
}
