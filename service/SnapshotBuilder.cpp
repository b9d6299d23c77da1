#include "service/SnapshotBuilder.h"

#include "platform/gdi/DibSection.h"
#include "platform/gdi/MemoryDC.h"
#include "res/StandbyPicture.h"

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

CSnapshotBuilder::CResult CSnapshotBuilder::Build(const CInputs& in,
                                                  std::unique_ptr<std::uint8_t[]>& pBlock,
                                                  bool bIncludeStatusLine)
{
    CComposed composed;
    CResult result = Compose(in, composed, pBlock, bIncludeStatusLine);
    if (!composed.bNeedsEncoding)
        return result;
    CResult encoded = Encode(composed, in.jpegWriter, pBlock);
    if (encoded.strProblem.empty())
        encoded.strProblem = result.strProblem;
    if (in.pSectionCache != nullptr)
        *in.pSectionCache = std::move(composed.pSection);
    return encoded;
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

    // The frame: the stand-by file without a driver, else a fresh grab saved by the driver.
    CDib frame;
    if (s.CaptureDevice == -1)
    {
        const auto loaded = frame.Load(working("capoff.bmp").c_str());
        if (!loaded.Opened())
        {
            // No stand-by file of the user's: the built-in card takes its place.
            CFile memory;
            memory.OpenMemory(StandbyPictureBmp().constData(),
                              std::size_t(StandbyPictureBmp().size()));
            frame.ReadFrom(memory);
        }
    }
    else
    {
        const std::string file = working("capframe.bmp");
        if (in.pCapture == nullptr)
            return Failure(bHeaders, pBlock, "no capture window");
        if (!in.pCapture->GrabFrameNoStop())
            strProblem = "frame grab failed: " + in.pCapture->LastError();
        if (!in.pCapture->FileSaveDib(file.c_str()))
            return Failure(bHeaders, pBlock,
                           "no frame could be saved: " + in.pCapture->LastError());
        const auto loaded = frame.Load(file.c_str());
        if (!loaded.Opened())
            return Failure(bHeaders, pBlock, "no frame: " + loaded.Error().GetErrorMessage());
    }

    // The output size: the frame's own or the one configured, and a bitmap of that size.
    const std::int64_t nFrameW = frame.Width();
    const std::int64_t nFrameH = frame.Height();
    const std::int64_t w = s.UseCustomSize ? OutputSize(s.ImageWidth, nFrameW) : nFrameW;
    const std::int64_t h = s.UseCustomSize ? OutputSize(s.ImageHeight, nFrameH) : nFrameH;
    if (w <= 0 || h <= 0)
    {
        if (frame.IsEmpty() && !s.UseCustomSize)
            return Failure(bHeaders, pBlock, "the frame file is not a readable bitmap");
        return Failure(bHeaders, pBlock,
                       "the output size " + std::to_string(w) + "x" + std::to_string(h) +
                           " is empty");
    }
    // The composed picture is handed on with the result; a cached one of the right size is
    // taken rather than a fresh one made.
    std::unique_ptr<CDibSection>& owned = out.pSection;
    bool bReused = false;
    if (in.pSectionCache != nullptr && *in.pSectionCache && (*in.pSectionCache)->Width() == w &&
        (*in.pSectionCache)->Height() == h)
    {
        owned = std::move(*in.pSectionCache);
        bReused = true;
    }
    else
    {
        if (in.pSectionCache != nullptr)
            in.pSectionCache->reset(); // of another size: let it go before making the new one
        if (w <= INT_MAX && h <= INT_MAX)
            owned = CDibSection::Create(int(w), int(h));
    }
    CDibSection* section = owned.get();
    if (section == nullptr)
        return Failure(bHeaders, pBlock,
                       "no " + std::to_string(w) + "x" + std::to_string(h) + " bitmap can be made");

    // Drawing: the frame stretched to the output, the overlay, then the captions.
    CMemoryDC dc;
    dc.SelectBitmap(section);
    const RECT dest{0, 0, LONG(w), LONG(h)};
    // Stretched over the whole picture, a frame sets every pixel of it (pixels a run-length
    // frame skips are drawn in its first colour); only when it draws nothing does a reused
    // bitmap need clearing.
    if (frame.Draw(dc, dest, RECT{0, 0, LONG(nFrameW), LONG(nFrameH)}) == 0 && bReused)
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
        if (in.pSectionCache != nullptr)
            *in.pSectionCache = std::move(owned);
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

CSnapshotBuilder::CResult CSnapshotBuilder::Encode(const CComposed& composed, CJpegWriter& writer,
                                                   std::unique_ptr<std::uint8_t[]>& pBlock)
{
    // Written to "frame.jpg" and read back whole.
    const CDibSection& section = *composed.pSection;
    const std::string& header = composed.strHeader;
    const std::int64_t nHeader = std::int64_t(header.size());
    const char* pszJpeg = composed.strJpegPath.c_str();
    writer.SetQuality(composed.nQuality);
    if (writer.WriteFile(section.Bits(), section.Width(), section.Height(), pszJpeg) != 0)
    {
        const std::string why = writer.LastMessage();
        return Failure(composed.bHeaders, pBlock,
                       "JPEG encoding failed" + (why.empty() ? std::string() : ": " + why));
    }
    CFile file;
    CFileException error;
    if (!file.Open(pszJpeg, CFile::modeRead, &error))
        return Failure(composed.bHeaders, pBlock,
                       "the encoded frame cannot be read: " + error.GetErrorMessage());
    const std::int64_t nLength = file.GetLength();
    if (nLength <= 0 || nHeader + nLength > INT_MAX)
        return Failure(composed.bHeaders, pBlock, "the encoded frame has no usable length");
    pBlock = Allocate(nHeader + nLength);
    if (!pBlock)
        return Failure(composed.bHeaders, pBlock, "out of memory");
    std::memcpy(pBlock.get(), header.data(), header.size());
    if (file.Read(pBlock.get() + nHeader, std::size_t(nLength)) != std::size_t(nLength))
        return Failure(composed.bHeaders, pBlock, "the encoded frame could not be read whole");
    CResult result;
    result.nLength = int(nHeader + nLength);
    return result;
}
