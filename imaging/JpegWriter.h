#pragma once
// Encodes a bottom-up 24-bit bitmap (rows of blue, green, red, stride 3 × width raised to a
// multiple of 4) as a baseline JFIF image, in memory or as a file. One compression record
// lives as long as the writer; fatal library errors come back as -1 instead of ending the
// process.

#include <csetjmp>
#include <cstddef>
#include <cstdint>
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
    // Encodes into out, after its first nOffset bytes (kept as they are); 0 on success, -1 when
    // the library fails or memory runs out.
    int Encode(const std::uint8_t* pBottomRow, int nWidth, int nHeight,
               std::vector<std::uint8_t>& out, std::size_t nOffset = 0);
    // Writes the file; 0 on success, -1 when it cannot be written (LastMessage names the file
    // and the system's reason) or the library fails.
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

    // The library writes into a vector that grows as it needs.
    struct Destination
    {
        jpeg_destination_mgr pub;
        std::vector<std::uint8_t>* pOut;
        std::size_t nOffset;
        std::size_t nFirstRoom; // what a picture of this size usually needs
    };
    static void InitDestination(j_compress_ptr cinfo);
    static boolean EmptyOutputBuffer(j_compress_ptr cinfo);
    static void TermDestination(j_compress_ptr cinfo);

    Destination m_destination{};
    std::vector<std::uint8_t> m_encoded; // what WriteFile writes, kept from call to call
    ErrorManager m_error;
    jpeg_compress_struct m_cinfo;
    std::string m_strLastMessage;
};
