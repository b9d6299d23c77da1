#pragma once
// What the image service asks of the capture window: grab a new frame, save it as a BMP file.

#include <string>

class CFrameSource
{
public:
    virtual ~CFrameSource() = default;
    // WM_CAP_GRAB_FRAME_NOSTOP: one new frame into the frame buffer; the preview keeps running.
    virtual bool GrabFrameNoStop() = 0;
    // WM_CAP_FILE_SAVEDIB: the frame buffer as a 24-bit BMP file.
    virtual bool FileSaveDib(const char* pszFileName) = 0;
    // Why the last grab or save failed.
    virtual std::string LastError() const = 0;
};
