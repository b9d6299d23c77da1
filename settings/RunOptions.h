#pragma once
// Settings given for one run (on the command line): each one that is present replaces the
// loaded value in the record, as a change in the window would. They reach the store only
// through File > Save Settings, like any other change.

#include "settings/Settings.h"

#include <optional>
#include <string>

struct CRunOptions
{
    std::optional<int> nServerPort;
    std::optional<int> nServerEnabled;
    std::optional<int> nCaptureDevice;
    std::optional<int> nImageType;
    std::optional<int> nHttpHeaders;
    std::optional<std::string> strServerAddress;
    std::optional<std::string> strServerAllow;
    // Not settings: how long the start waits for a store another program holds locked, and
    // whether each connection is logged on standard error.
    std::optional<int> nStoreWaitSeconds;
    bool bLogRequests = false;

    void ApplyTo(CSettings& settings) const
    {
        const auto apply = [](const std::optional<int>& option, std::int32_t& field)
        {
            if (option)
                field = *option;
        };
        apply(nServerPort, settings.ServerPort);
        apply(nServerEnabled, settings.ServerEnabled);
        apply(nCaptureDevice, settings.CaptureDevice);
        if (nCaptureDevice)
            settings.CaptureDeviceId.clear(); // the device asked for by index or name
        apply(nImageType, settings.ImageType);
        apply(nHttpHeaders, settings.HttpHeaders);
        if (strServerAddress)
            settings.ServerAddress = *strServerAddress;
        if (strServerAllow)
            settings.ServerAllow = *strServerAllow;
    }
};
