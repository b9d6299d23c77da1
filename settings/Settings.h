#pragma once
// Every setting kept between runs, with the six captions. One record, held by the view; read
// from the store once at start-up and written only by File > Save Settings.

#include "captions/Caption.h"
#include "platform/gdi/GdiTypes.h"
#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryTypes.h"

#include <array>
#include <cstdint>
#include <string>

class CSettings
{
public:
    static constexpr const char* kProductKey = "Software\\Quenlor\\Vistrel";
    static constexpr int kCaptionCount = 6;
    static constexpr const char* kDeviceIdValue = "CaptureDeviceId";
    static constexpr const char* kDeviceIdIndexValue = "CaptureDeviceIdIndex";
    // The longest device identity read from the store, terminating zero included (a device's
    // identity is a path: far shorter).
    static constexpr DWORD kMaxDeviceIdBytes = 4096;
    // Where the server listens and who may connect (see ServerAddress, ServerAllow).
    static constexpr const char* kServerAddressValue = "ServerAddress";
    static constexpr const char* kServerAllowValue = "ServerAllow";
    static constexpr DWORD kMaxServerTextBytes = 4096;

    CSettings() = default;
    virtual ~CSettings() = default;

    using CaptionStatus = std::array<LONG, 6>;
    // Reads the record from the store at strStore: the status of opening the product key
    // (ERROR_SUCCESS when it was read, a read-only store included), or of the first value
    // that could not be read. Nothing is shown: the caller says what went wrong, once. A
    // caption whose sub-key could not be opened is told in *pCaptionKeys (ERROR_FILE_NOT_FOUND
    // for one that a read-only store lacks, which reads as a new caption).
    LONG Load(const std::string& strStore = CRegistryHive::DefaultPath(),
              CaptionStatus* pCaptionKeys = nullptr);
    // Writes every value and caption, all or nothing: the first failing status (0 when all
    // was written). The caller tells the user why.
    LONG Save(const std::string& strStore = CRegistryHive::DefaultPath());

    COLORREF OverlayTransColor = 0;
    std::int32_t UseOverlay = 0;
    std::int32_t ImageType = 0;
    std::int32_t CaptureDevice = -1;
    std::int32_t ServerPort = 8080;
    std::int32_t PreviewEnabled = 1;
    std::int32_t HttpHeaders = 1;
    std::int32_t ServerEnabled = 0;
    std::array<CCaption, kCaptionCount> captions;
    std::int32_t UseCustomSize = 0;
    std::int32_t ImageWidth = 160;
    std::int32_t ImageHeight = 120;
    std::int32_t JpegQuality = 75;
    // Who CaptureDevice is: the connected device's identity, so that a start never takes
    // another device that now has the index. Empty in stores written before it existed.
    std::string CaptureDeviceId;
    // The CaptureDevice the identity was saved with (-1: not known). When the stored index
    // differs, the index was changed since (by vistrel-reg, or an older .reg file) and is the
    // newer word.
    std::int32_t CaptureDeviceIdIndex = -1;
    // The length of a stored identity too long to read (0: none was): such a record names a
    // device that cannot be known, and no other one may take its place.
    std::uint32_t nUnreadDeviceIdBytes = 0;
    // The local address the server listens on: "" for every interface, "localhost" for this
    // machine only, or one of its addresses as numbers.
    std::string ServerAddress;
    // Who may connect: addresses and networks (see CNetworkList); "" allows everyone.
    std::string ServerAllow;

    bool operator==(const CSettings&) const = default;

private:
    struct Value
    {
        const char* pszName;
        std::uint32_t* (*field)(CSettings&);
        std::uint32_t nDefault;
    };
    static const std::array<Value, 12> s_values;
};
