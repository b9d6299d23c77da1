#pragma once
// Builds the complete bytes of one served picture, on a build thread: the optional HTTP/1.0
// header, then a BMP or JPEG file image of the frame stretched to the output size, with the
// overlay and the six captions drawn over it. The grabbed frame is written to "capframe.bmp"
// on the way, and a JPEG to "frame.jpg"; the response is assembled in one block of its final
// size. When the picture cannot be built, the response is a "503 Service Unavailable" with
// the reason (or nothing at all when headers are off), never a picture that is not what was
// asked for.

#include "imaging/Dib.h"
#include "imaging/JpegWriter.h"
#include "platform/gdi/DibSection.h"
#include "platform/gdi/TextCache.h"
#include "service/BitmapPool.h"
#include "service/MemoryBudget.h"
#include "settings/Settings.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/uio.h>
#include <vector>

class CSnapshotBuilder
{
public:
    static const char* const kProductId; // what follows "Server: "

    // What builds read, fixed while they run: when any of it changes, a new one is made.
    struct CScene
    {
        CSettings settings;
        std::shared_ptr<const CDib> pOverlay; // null: none
        std::string strDirectory;             // of the working files ("" = current)
        std::string WorkingFile(const char* pszName) const
        {
            return strDirectory.empty() ? std::string(pszName) : strDirectory + "/" + pszName;
        }
    };

    // A grabbed frame, copied once from the camera's buffer as a top-down bitmap: rows of
    // width × 3 bytes of blue, green, red, each padded to the BMP stride.
    struct CFrame
    {
        int nWidth = 0;
        int nHeight = 0;
        std::vector<std::uint8_t> rows;
        std::size_t Stride() const { return (std::size_t(nWidth) * 3 + 3) & ~std::size_t(3); }
    };

    // One build: the scene, the frame (null: the stand-by picture is served), and the order
    // in which the frames were taken (from 1), which the working files keep.
    struct CJob
    {
        std::shared_ptr<const CScene> pScene;
        std::unique_ptr<CFrame> pFrame;
        std::string strProblem; // met on the way (a lost camera), reported with the result
        std::uint64_t nSequence = 0;
    };

    struct CResult
    {
        int nLength = 0;        // bytes in the block (0: send nothing, just close)
        bool bFailed = false;   // the block is the 503 response, not a picture
        std::string strProblem; // why it failed, or what went wrong on the way
    };

    // A working file as the build threads share it: written by one at a time, and never with
    // an older picture over a newer one, however the threads finish.
    struct CWorkingFile
    {
        std::mutex lock;
        std::uint64_t nNewest = 0; // the sequence of the picture the file holds
    };
    struct CWorkingFiles
    {
        CWorkingFile frame; // "capframe.bmp"
        CWorkingFile jpeg;  // "frame.jpg"
    };

    // What one build thread keeps from build to build, so that a build allocates next to
    // nothing but its response.
    struct CThreadState
    {
        CJpegWriter writer;
        std::vector<std::uint8_t> bytes;
        CBitmapPool pool;
        CTextCache texts; // captions that read the same as in an earlier picture
        std::vector<iovec> pieces;
        CWorkingFiles* pFiles = nullptr;
        CMemoryBudget* pBudget = nullptr; // what pictures built at once may take (null: no bound)
    };

    // Builds the response to the job: the result, and the block in pBlock. Touches only what it
    // is given (and the working files, under their locks): safe on any thread. A picture takes
    // at most twice its bitmap while it is built (the bitmap, and its BMP or JPEG bytes); it
    // waits for that much of the budget, and one that needs more than all of it is refused.
    static CResult Build(CJob& job, CThreadState& state, std::unique_ptr<std::uint8_t[]>& pBlock);

    // The served size on one axis from its size code: 1 halves the frame's size, codes below 5
    // multiply it (so 0 and negative codes give no picture), 5 and above are pixels.
    static std::int64_t OutputSize(std::int32_t nCode, std::int64_t nFrame);

private:
    static CResult Failure(bool bHeaders, std::unique_ptr<std::uint8_t[]>& pBlock,
                           std::string strReason);
};
