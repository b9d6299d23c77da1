#pragma once
// Builds the complete bytes of one served image: the optional HTTP/1.0 header, then a BMP or
// JPEG file image of the current frame stretched to the output size, with the overlay and the
// six captions drawn over it. The response is assembled in one block of its final size.
// When the image cannot be built, the response is a "503 Service Unavailable" with the reason
// (or nothing at all when headers are off), never an image that is not what was asked for.

#include "imaging/Dib.h"
#include "imaging/JpegWriter.h"
#include "platform/capture/FrameSource.h"
#include "platform/gdi/DibSection.h"
#include "settings/Settings.h"

#include <cstdint>
#include <memory>
#include <string>

class CSnapshotBuilder
{
public:
    // Everything one build reads; the working files are resolved in strDirectory ("" = the
    // current directory).
    struct CInputs
    {
        const CSettings& settings;
        CFrameSource* pCapture;
        const CDib* pOverlay;
        CJpegWriter& jpegWriter;
        std::string strDirectory;
        // The output bitmap of the last build, reused (cleared) when the size stays the same,
        // so that a request does not pay for fresh pages; may be null.
        std::unique_ptr<CDibSection>* pSectionCache = nullptr;
    };

    static const char* const kProductId; // what follows "Server: "

    struct CResult
    {
        int nLength = 0;        // bytes in the block (0: send nothing, just close)
        bool bFailed = false;   // the block is the 503 response, not an image
        std::string strProblem; // why it failed, or what went wrong on the way (a lost camera)
    };

    static CResult Build(const CInputs& in, std::unique_ptr<std::uint8_t[]>& pBlock,
                         bool bIncludeStatusLine);

    // Build in two stages, so that the encoding can run away from the thread that grabs and
    // draws. Compose grabs, draws and, for a BMP or a failure, completes the block; for a JPEG
    // it leaves bNeedsEncoding set and everything Encode needs in the picture it returns.
    struct CComposed
    {
        bool bNeedsEncoding = false;
        std::unique_ptr<CDibSection> pSection; // the drawn picture (JPEG only)
        std::string strHeader;
        std::string strJpegPath;
        int nQuality = 75;
        bool bHeaders = true;
    };
    static CResult Compose(const CInputs& in, CComposed& out,
                           std::unique_ptr<std::uint8_t[]>& pBlock, bool bIncludeStatusLine);
    // Touches only what it is given (and the file named in it): safe on another thread.
    static CResult Encode(const CComposed& composed, CJpegWriter& writer,
                          std::unique_ptr<std::uint8_t[]>& pBlock);

    // The served size on one axis from its size code: 1 halves the frame's size, codes below 5
    // multiply it (so 0 and negative codes give no image), 5 and above are pixels.
    static std::int64_t OutputSize(std::int32_t nCode, std::int64_t nFrame);

private:
    static CResult Failure(bool bHeaders, std::unique_ptr<std::uint8_t[]>& pBlock,
                           std::string strReason);
};
