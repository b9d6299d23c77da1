#pragma once
// The capture drivers by index: every V4L2 video-capture node in numeric order, then the
// built-in "Test Pattern", which is always there.

#include "platform/capture/CaptureDriver.h"
#include "platform/capture/V4l2Api.h"

#include <memory>
#include <string>
#include <vector>

class CDriverList
{
public:
    CDriverList() = default;
    explicit CDriverList(std::vector<std::unique_ptr<CCaptureDriver>> drivers)
        : m_drivers(std::move(drivers))
    {
    }
    // Looks for cameras through the given seam and adds the test pattern last.
    static CDriverList Discover(const CV4l2Api& api);

    int Count() const { return int(m_drivers.size()); }
    // capGetDriverDescription: false past the end of the list.
    bool GetDriverDescription(int nIndex, std::string& strName) const;
    CCaptureDriver* Driver(int nIndex) const;

private:
    std::vector<std::unique_ptr<CCaptureDriver>> m_drivers;
};
