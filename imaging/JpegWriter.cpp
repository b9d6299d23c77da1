#include "imaging/JpegWriter.h"

#include "platform/file/File.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{
// Runs one compression. The setjmp lives here, in a function that owns no C++ objects, so
// the long jump from the library's error exit skips no destructor. Returns false when the
// library reported a fatal error.
bool CompressRows(jpeg_compress_struct* pInfo, std::jmp_buf* pJump, std::FILE* pFile,
                  const std::uint8_t* pBottomRow, int nWidth, int nHeight)
{
    if (setjmp(*pJump) != 0)
        return false;

    pInfo->in_color_space = JCS_EXT_BGR; // the bitmap's rows, read in place
    pInfo->input_components = 3;
    jpeg_default_colorspace(pInfo);
    pInfo->data_precision = 8;
    pInfo->image_width = JDIMENSION(nWidth);
    pInfo->image_height = JDIMENSION(nHeight);
    jpeg_stdio_dest(pInfo, pFile);
    jpeg_start_compress(pInfo, TRUE);

    // Only reached with a valid size: the library refuses empty and oversized images above.
    const std::ptrdiff_t nStride = (std::ptrdiff_t(nWidth) * 3 + 3) & ~std::ptrdiff_t(3);
    const std::uint8_t* pRow = pBottomRow + nStride * (nHeight - 1);
    while (pInfo->next_scanline < pInfo->image_height)
    {
        JSAMPROW row = const_cast<JSAMPROW>(pRow);
        jpeg_write_scanlines(pInfo, &row, 1);
        pRow -= nStride;
    }
    jpeg_finish_compress(pInfo);
    return true;
}
} // namespace

CJpegWriter::CJpegWriter()
{
    std::memset(&m_cinfo, 0, sizeof m_cinfo);
    m_cinfo.err = jpeg_std_error(&m_error.pub);
    m_error.pub.error_exit = &CJpegWriter::OnFatalError;
    m_error.pub.output_message = &CJpegWriter::OnOutputMessage;
    m_error.pOwner = this;
    jpeg_create_compress(&m_cinfo);
    m_cinfo.in_color_space = JCS_EXT_BGR;
    m_cinfo.input_components = 3;
    jpeg_set_defaults(&m_cinfo);
}

CJpegWriter::~CJpegWriter()
{
    jpeg_destroy_compress(&m_cinfo);
}

int CJpegWriter::SetQuality(int nQuality)
{
    if (nQuality < 0)
        nQuality = 0;
    if (nQuality > 100)
        nQuality = 100;
    jpeg_set_quality(&m_cinfo, nQuality, TRUE);
    return nQuality;
}

int CJpegWriter::WriteFile(const std::uint8_t* pBottomRow, int nWidth, int nHeight,
                           const char* pszFileName)
{
    m_strLastMessage.clear();
    // Created, or overwritten and then cut to the new length: emptying the file first would
    // make the file system flush the old one at once, on every frame.
    const int fd = OpenRegular(pszFileName, O_WRONLY | O_CREAT);
    if (fd < 0)
    {
        m_strLastMessage = std::string(pszFileName) + ": " + CFileException::Reason(errno);
        return -1;
    }
    m_pFile = ::fdopen(fd, "wb");
    if (m_pFile == nullptr)
    {
        ::close(fd);
        return -1;
    }
    // One buffer large enough for a usual picture: written in one call rather than in pieces
    // of the library's 4 KiB.
    std::setvbuf(m_pFile, m_outputBuffer.data(), _IOFBF, m_outputBuffer.size());
    bool bOk = CompressRows(&m_cinfo, &m_error.jump, m_pFile, pBottomRow, nWidth, nHeight);
    if (!bOk)
        jpeg_abort_compress(&m_cinfo); // back to idle; the next write starts afresh
    // A write the disk refused (full, quota) says so rather than leaving a short file unsaid.
    const auto failed = [this, pszFileName, &bOk]
    {
        if (m_strLastMessage.empty())
            m_strLastMessage = std::string(pszFileName) + ": " + std::strerror(errno);
        bOk = false;
    };
    const long nLength = std::ftell(m_pFile);
    if (std::fflush(m_pFile) != 0 || nLength < 0 || ::ftruncate(fd, off_t(nLength)) != 0)
        failed();
    if (std::fclose(m_pFile) != 0)
        failed();
    m_pFile = nullptr;
    return bOk ? 0 : -1;
}

void CJpegWriter::OnFatalError(j_common_ptr cinfo)
{
    auto* pError = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(pError->jump, 1);
}

void CJpegWriter::OnOutputMessage(j_common_ptr cinfo)
{
    auto* pError = reinterpret_cast<ErrorManager*>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    pError->pOwner->m_strLastMessage = text;
}
