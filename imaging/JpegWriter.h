#pragma once
// Encodes a bottom-up 24-bit bitmap (rows of blue, green, red, stride 3 × width raised to a
// multiple of 4) as a baseline JFIF file. One compression record lives as long as the writer;
// fatal library errors come back as -1 instead of ending the process.

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>

class CJpegWriter
{
public:
    CJpegWriter();
    virtual ~CJpegWriter();
    CJpegWriter(const CJpegWriter&) = delete;
    CJpegWriter& operator=(const CJpegWriter&) = delete;

    // Clamps to 0..100 and applies the quality with baseline tables; returns the value used.
    int SetQuality(int nQuality);
    // Writes the file; 0 on success, -1 when it cannot be created or the library fails.
    int WriteFile(const std::uint8_t* pBottomRow, int nWidth, int nHeight, const char* pszFileName);
    // The library's text for the last fatal error or warning, empty when there was none.
    const std::string& LastMessage() const { return m_strLastMessage; }

private:
    struct ErrorManager
    {
        jpeg_error_mgr pub;
        std::jmp_buf jump;
        CJpegWriter* pOwner;
    };
    static void OnFatalError(j_common_ptr cinfo);
    static void OnOutputMessage(j_common_ptr cinfo);

    std::FILE* m_pFile = nullptr;
    std::vector<char> m_outputBuffer = std::vector<char>(std::size_t(1) << 17);
    ErrorManager m_error;
    jpeg_compress_struct m_cinfo;
    std::string m_strLastMessage;
};
