#pragma once
// A capture driver that refuses to open, for tests of driver selection.

#include "platform/capture/CaptureDriver.h"

class CRefusingDriver final : public CCaptureDriver
{
public:
    std::string Description() const override { return "Broken Cam"; }
    bool Open(std::string& strError) override
    {
        strError = "/dev/video9: open: Device or resource busy";
        return false;
    }
    void Close() override {}
    bool IsOpen() const override { return false; }
    int Width() const override { return 0; }
    int Height() const override { return 0; }
    bool Grab(CFrameBuffer&, std::string&) override { return false; }
    CAPDRIVERCAPS Capabilities() const override { return {}; }
};
