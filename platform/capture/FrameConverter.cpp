#include "platform/capture/FrameConverter.h"

#include <libv4l-plugin.h>
#include <libv4lconvert.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>

namespace
{
// libjpeg's fatal errors come back here instead of ending the process; its warnings (corrupt
// data, a frame cut short) are not printed but end the decode: a damaged frame is passed over.
struct CJpegErrors
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char szMessage[JMSG_LENGTH_MAX];
};

void OnJpegFatal(j_common_ptr cinfo)
{
    auto* p = reinterpret_cast<CJpegErrors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, p->szMessage);
    std::longjmp(p->jump, 1);
}

void OnJpegMessage(j_common_ptr cinfo, int nLevel)
{
    if (nLevel < 0) // a warning: the data is damaged
        OnJpegFatal(cinfo);
}

// No C++ object lives in this function: the long jump may leave it at any point.
bool DecodeJpeg(const std::uint8_t* pSrc, std::size_t nSrc, int nWidth, int nHeight,
                std::uint8_t* pDst, char* pszWhy, std::size_t nWhy)
{
    jpeg_decompress_struct cinfo;
    CJpegErrors errors;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = OnJpegFatal;
    errors.pub.emit_message = OnJpegMessage;
    errors.szMessage[0] = '\0';
    if (setjmp(errors.jump))
    {
        std::snprintf(pszWhy, nWhy, "%s", errors.szMessage);
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, pSrc, static_cast<unsigned long>(nSrc));
    jpeg_read_header(&cinfo, TRUE);
    // Straight into the frame's rows, in its byte order: no second pass. A camera's Motion
    // JPEG often leaves out the standard Huffman tables, which the library then supplies.
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    if (int(cinfo.output_width) != nWidth || int(cinfo.output_height) != nHeight)
    {
        std::snprintf(pszWhy, nWhy, "a frame of %ux%u where %dx%d was set", cinfo.output_width,
                      cinfo.output_height, nWidth, nHeight);
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    while (cinfo.output_scanline < cinfo.output_height)
    {
        JSAMPROW row = pDst + std::size_t(cinfo.output_scanline) * std::size_t(nWidth) * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// libv4lconvert asks the camera about itself through these, which lead to the seam.
int SeamIoctl(void* pPriv, int fd, unsigned long nRequest, void* pArg)
{
    return static_cast<const CV4l2Api*>(pPriv)->ioctl(fd, nRequest, pArg);
}

ssize_t NoRead(void*, int, void*, size_t)
{
    return -1;
}

ssize_t NoWrite(void*, int, const void*, size_t)
{
    return -1;
}

libv4l_dev_ops* SeamOps()
{
    static libv4l_dev_ops ops = []
    {
        libv4l_dev_ops o{};
        o.ioctl = SeamIoctl;
        o.read = NoRead;
        o.write = NoWrite;
        return o;
    }();
    return &ops;
}
} // namespace

bool CFrameConverter::Handles(std::uint32_t nPixelFormat)
{
    switch (nPixelFormat)
    {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_GREY:
        return true;
    default:
        return false;
    }
}

void CFrameConverter::Forget()
{
    if (m_pLibrary != nullptr)
        v4lconvert_destroy(m_pLibrary);
    m_pLibrary = nullptr;
    m_nLibraryFd = -1;
}

bool CFrameConverter::Convert(int fd, const v4l2_format& src, const std::uint8_t* pSrc,
                              std::size_t nSrc, std::uint8_t* pDst, std::size_t nDst,
                              std::string& strWhy)
{
    const int w = int(src.fmt.pix.width);
    const int h = int(src.fmt.pix.height);
    if (nDst < std::size_t(w) * std::size_t(h) * 3)
    {
        strWhy = "no room for the frame";
        return false;
    }
    ++m_nConversions;
    const std::uint32_t nFormat = src.fmt.pix.pixelformat;
    if (nFormat == V4L2_PIX_FMT_MJPEG || nFormat == V4L2_PIX_FMT_JPEG)
    {
        char szWhy[JMSG_LENGTH_MAX + 64] = {};
        if (DecodeJpeg(pSrc, nSrc, w, h, pDst, szWhy, sizeof szWhy))
            return true;
        strWhy = szWhy;
        return false;
    }
    if (m_pLibrary == nullptr || m_nLibraryFd != fd)
    {
        Forget();
        m_pLibrary = v4lconvert_create_with_dev_ops(fd, const_cast<CV4l2Api*>(&m_api), SeamOps());
        m_nLibraryFd = fd;
        if (m_pLibrary == nullptr)
        {
            strWhy = "the conversion library could not start";
            return false;
        }
    }
    v4l2_format from = src;
    v4l2_format to = src;
    to.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    to.fmt.pix.bytesperline = std::uint32_t(w) * 3;
    to.fmt.pix.sizeimage = to.fmt.pix.bytesperline * std::uint32_t(h);
    const int n = v4lconvert_convert(m_pLibrary, &from, &to, const_cast<std::uint8_t*>(pSrc),
                                     int(nSrc), pDst, int(nDst));
    if (n >= 0 && std::size_t(n) >= std::size_t(w) * std::size_t(h) * 3)
        return true;
    strWhy = v4lconvert_get_error_message(m_pLibrary);
    return false;
}
