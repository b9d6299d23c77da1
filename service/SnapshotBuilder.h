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
#include "service/BitmapPool.h"
#include "settings/Settings.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
        std::string strDirectory;
        // Where the output bitmap comes from; null: a new one every time.
        CBitmapPool* pPool = nullptr;
        // The grabbed frame's bytes, kept from build to build; null: a new block every time.
        std::vector<std::uint8_t>* pFrameBytes = nullptr;
    };

    static const char* const kProductId; // what follows "Server: "

    struct CResult
    {
        int nLength = 0;        // bytes in the block (0: send nothing, just close)
        bool bFailed = false;   // the block is the 503 response, not an image
        std::string strProblem; // why it failed, or what went wrong on the way (a lost camera)
    };

    // A build has two stages, so that the encoding can run away from the thread that grabs
    // and draws. Compose grabs, draws and, for a BMP or a failure, completes the block; for a
    // JPEG it leaves bNeedsEncoding set and everything Encode needs in the picture it returns.
    struct CComposed
    {
        bool bNeedsEncoding = false;
        std::unique_ptr<CDibSection> pSection; // the drawn picture, to go back to the pool
        std::string strHeader;
        std::string strJpegPath;
        int nQuality = 75;
        bool bHeaders = true;
        std::uint64_t nSequence = 0; // the order in which the pictures were taken, from 1
    };
    static CResult Compose(const CInputs& in, CComposed& out,
                           std::unique_ptr<std::uint8_t[]>& pBlock, bool bIncludeStatusLine);

    // "frame.jpg" as the encoding threads share it: written by one at a time, and never with
    // an older picture over a newer one, however the threads finish.
    struct CJpegFile
    {
        std::mutex lock;
        std::uint64_t nNewest = 0; // the sequence of the picture the file holds
    };
    // What one encoding thread keeps from picture to picture.
    struct CEncoding
    {
        CJpegWriter writer;
        std::vector<std::uint8_t> bytes;
        CJpegFile* pFile = nullptr;
    };
    // Encodes the picture into memory, writes "frame.jpg" from those bytes and makes the
    // response of them. Touches only what it is given (and that file): safe on another thread.
    static CResult Encode(const CComposed& composed, CEncoding& encoding,
                          std::unique_ptr<std::uint8_t[]>& pBlock);

    // The served size on one axis from its size code: 1 halves the frame's size, codes below 5
    // multiply it (so 0 and negative codes give no image), 5 and above are pixels.
    static std::int64_t OutputSize(std::int32_t nCode, std::int64_t nFrame);

private:
    static CResult Failure(bool bHeaders, std::unique_ptr<std::uint8_t[]>& pBlock,
                           std::string strReason);
};
