#pragma once
// What the image service asks of the capture session: wait for a fresh frame, grab it, and hand
// over the frame itself.

#include "platform/capture/FrameBuffer.h"

#include <functional>
#include <string>

class CFrameSource
{
public:
    virtual ~CFrameSource() = default;
    // Calls fn once a fresh frame can be grabbed: at once for a source that never waits,
    // later from the event loop for one that does.
    virtual void WhenFrameReady(std::function<void()> fn) { fn(); }
    // WM_CAP_GRAB_FRAME_NOSTOP: one new frame into the frame buffer; the preview keeps running.
    virtual bool GrabFrameNoStop() = 0;
    // The frame buffer as the last grab left it.
    virtual const CFrameBuffer& Frame() const = 0;
    // Why the last grab or save failed.
    virtual std::string LastError() const = 0;
};
