#pragma once
// One source of frames, handed out by index from the driver list: a V4L2 camera or the
// built-in test pattern. Open and Close may be called any number of times; Close is safe twice.

#include "platform/capture/CaptureTypes.h"
#include "platform/capture/FrameBuffer.h"

#include <string>
#include <vector>

class CCaptureDriver
{
public:
    virtual ~CCaptureDriver() = default;

    virtual std::string Description() const = 0;
    // Names this device and no other, the same whichever node it appears under.
    virtual std::string Identity() const { return Description(); }
    virtual bool Open(std::string& strError) = 0;
    // The last Open failed because another program has the device (it may be free later).
    virtual bool WasBusy() const { return false; }
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // Takes the newest frame there is into the buffer (resized to the frame's size), never
    // waiting: a source with a clock of its own says when it has one (Descriptor); false
    // when there is none now.
    virtual bool Grab(CFrameBuffer& frame, std::string& strError) = 0;
    // A device that makes frames on its own clock: the descriptor that is readable when it
    // has one. -1 for a source that makes a frame whenever asked.
    virtual int Descriptor() const { return -1; }
    enum class Readiness
    {
        Grabbed, // a frame taken at most a frame period ago is in the buffer
        NotYet,  // none yet: every frame from now on is fresh, take it with Grab
        Failed,
    };
    // Like Grab for a fresh frame, but never waits.
    virtual Readiness GrabIfFresh(CFrameBuffer& frame, std::string& strError)
    {
        return Grab(frame, strError) ? Readiness::Grabbed : Readiness::Failed;
    }
    // A source that stopped sending frames without an error: its stream started again (true
    // when that could be done; it may still send nothing).
    virtual bool RestartStream(std::string&) { return false; }
    // Frames converted to BGR24 so far: only those served or shown should be.
    virtual std::uint64_t Conversions() const { return 0; }

    virtual CAPDRIVERCAPS Capabilities() const = 0;
    // The Source dialog's controls, read from the source now.
    virtual std::vector<CCaptureControl> Controls() { return {}; }
    virtual bool SetControl(std::uint32_t, std::int32_t, std::string& strError)
    {
        strError = "no such control";
        return false;
    }
    // The Format dialog's choices and the current one.
    virtual std::vector<CCaptureFormat> Formats() { return {}; }
    virtual CCaptureFormat CurrentFormat() const { return {Width(), Height(), 0, {}}; }
    virtual bool SetFormat(const CCaptureFormat&, std::string& strError)
    {
        strError = "the format cannot be changed";
        return false;
    }
    // What was chosen for this device in its dialogs, and putting it back (on the next Open
    // when it is not open now). A value the device no longer takes is left out.
    virtual CCaptureState ChosenState() const { return {}; }
    virtual void Restore(const CCaptureState&) {}
};
