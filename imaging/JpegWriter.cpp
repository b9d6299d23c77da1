#include "imaging/JpegWriter.h"

#include "platform/file/File.h"

#include <jerror.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace
{
// Runs one compression. The setjmp lives here, in a function that owns no C++ objects, so
// the long jump from the library's error exit skips no destructor. Returns false when the
// library reported a fatal error.
bool CompressRows(jpeg_compress_struct* pInfo, std::jmp_buf* pJump,
                  jpeg_destination_mgr* pDestination, const std::uint8_t* pBottomRow, int nWidth,
                  int nHeight)
{
    if (setjmp(*pJump) != 0)
        return false;

    pInfo->in_color_space = JCS_EXT_BGR; // the bitmap's rows, read in place
    pInfo->input_components = 3;
    jpeg_default_colorspace(pInfo);
    pInfo->data_precision = 8;
    pInfo->image_width = JDIMENSION(nWidth);
    pInfo->image_height = JDIMENSION(nHeight);
    pInfo->dest = pDestination;
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

void CJpegWriter::InitDestination(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    // Room for a usual picture of this size at once. Only that much is made ready (a vector
    // clears what it grows by), however large the buffer has been: its memory is reused, and
    // the cost of an encode stays that of its own picture.
    std::vector<std::uint8_t>& out = *d->pOut;
    out.resize(d->nOffset + d->nFirstRoom);
    d->pub.next_output_byte = out.data() + d->nOffset;
    d->pub.free_in_buffer = out.size() - d->nOffset;
}

boolean CJpegWriter::EmptyOutputBuffer(j_compress_ptr cinfo)
{
    // Called when the room is used up: twice as much, the bytes so far kept.
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    std::vector<std::uint8_t>& out = *d->pOut;
    const std::size_t nUsed = out.size();
    try
    {
        out.resize(nUsed * 2);
    }
    catch (const std::bad_alloc&)
    {
        cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
        (*cinfo->err->error_exit)(reinterpret_cast<j_common_ptr>(cinfo));
    }
    d->pub.next_output_byte = out.data() + nUsed;
    d->pub.free_in_buffer = out.size() - nUsed;
    return TRUE;
}

void CJpegWriter::TermDestination(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    d->pOut->resize(d->pOut->size() - d->pub.free_in_buffer);
}

int CJpegWriter::Encode(const std::uint8_t* pBottomRow, int nWidth, int nHeight,
                        std::vector<std::uint8_t>& out, std::size_t nOffset)
{
    m_strLastMessage.clear();
    try
    {
        if (out.size() < nOffset)
            out.resize(nOffset);
    }
    catch (const std::bad_alloc&)
    {
        m_strLastMessage = "out of memory";
        return -1;
    }
    m_destination.pub.init_destination = &CJpegWriter::InitDestination;
    m_destination.pub.empty_output_buffer = &CJpegWriter::EmptyOutputBuffer;
    m_destination.pub.term_destination = &CJpegWriter::TermDestination;
    m_destination.pOut = &out;
    m_destination.nOffset = nOffset;
    // A quarter of a byte a pixel is more than most pictures take at the usual qualities.
    m_destination.nFirstRoom =
        std::max<std::size_t>(std::size_t(1) << 16, std::size_t(std::max(nWidth, 0)) *
                                                        std::size_t(std::max(nHeight, 0)) / 4);
    if (CompressRows(&m_cinfo, &m_error.jump, &m_destination.pub, pBottomRow, nWidth, nHeight))
        return 0;
    jpeg_abort_compress(&m_cinfo); // back to idle; the next one starts afresh
    out.resize(nOffset);
    return -1;
}

int CJpegWriter::WriteFile(const std::uint8_t* pBottomRow, int nWidth, int nHeight,
                           const char* pszFileName)
{
    if (Encode(pBottomRow, nWidth, nHeight, m_encoded) != 0)
        return -1;
    // A file that cannot be written (a folder, no room, no right) says why.
    if (!OverwriteFile(pszFileName, m_encoded.data(), m_encoded.size()))
    {
        m_strLastMessage = std::string(pszFileName) + ": " + CFileException::Reason(errno);
        return -1;
    }
    return 0;
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
