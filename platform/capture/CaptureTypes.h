#pragma once
// What capture drivers describe about themselves: the records the view reads (capabilities and
// status), the controls of the Source dialog and the sizes of the Format dialog.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Which of the driver's own dialogs exist.
struct CAPDRIVERCAPS
{
    bool fHasDlgVideoSource = false;
    bool fHasDlgVideoFormat = false;
    bool fHasDlgVideoDisplay = false;
};

// The size of the frames in pixels.
struct CAPSTATUS
{
    unsigned uiImageWidth = 0;
    unsigned uiImageHeight = 0;
};

struct CCaptureControl
{
    enum Kind
    {
        Integer,
        Boolean,
        Menu,
        Button,
    };
    std::uint32_t nId = 0;
    std::string strName;
    Kind kind = Integer;
    std::int32_t nMin = 0;
    std::int32_t nMax = 0;
    std::int32_t nStep = 1;
    std::int32_t nDefault = 0;
    std::int32_t nValue = 0;
    std::vector<std::pair<std::int32_t, std::string>> menu; // value, label
};

struct CCaptureFormat
{
    int nWidth = 0;
    int nHeight = 0;
    std::uint32_t nPixelFormat = 0; // a V4L2 fourcc, 0 when the source has only one
    std::string strPixelFormat;

    bool operator==(const CCaptureFormat&) const = default;
};

// What was chosen for one device in its Format and Source dialogs, kept for it between
// connections: the frame size (0 when never chosen), the native pixel format (0: the
// driver's choice) and the controls changed, by id.
struct CCaptureState
{
    int nWidth = 0;
    int nHeight = 0;
    std::uint32_t nPixelFormat = 0;
    std::map<std::uint32_t, std::int32_t> controls;

    bool operator==(const CCaptureState&) const = default;
};
