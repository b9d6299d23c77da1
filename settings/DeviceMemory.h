#pragma once
// What was chosen for each capture device in its Format and Source dialogs, kept in the store
// under the device's identity (HKLM\Software\Quenlor\Vistrel\Devices\<identity>), apart from
// the settings record: written when it is chosen, read when the device is connected.
//   Width, Height, PixelFormat  REG_DWORD (0 when never chosen)
//   Controls                    REG_SZ "id=value,..." with ids in hex, values in decimal

#include "platform/capture/CaptureTypes.h"
#include "platform/registry/RegistryTypes.h"

#include <string>

class CDeviceMemory
{
public:
    static constexpr const char* kDevicesKey = "Software\\Quenlor\\Vistrel\\Devices";

    // The key's name for an identity: backslashes would nest keys, so they become slashes.
    static std::string KeyName(const std::string& strIdentity);
    // The longest Controls text read, terminating zero included (a camera has a few dozen
    // controls: far shorter).
    static constexpr DWORD kMaxControlsBytes = 65536;

    // Nothing stored, or a store that cannot be read, gives an empty state. A value kept there
    // that cannot be used is left out, and said in *pProblem.
    static CCaptureState Load(const std::string& strStore, const std::string& strIdentity,
                              std::string* pProblem = nullptr);
    static LONG Save(const std::string& strStore, const std::string& strIdentity,
                     const CCaptureState& state);

    static std::string ControlsText(const CCaptureState& state);
    // Entries that do not parse are left out.
    static void ParseControls(const std::string& strText, CCaptureState& state);
};
