#include "settings/Settings.h"

#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"

namespace
{
template <auto Member> std::uint32_t* Field(CSettings& s)
{
    static_assert(sizeof(s.*Member) == sizeof(std::uint32_t));
    return reinterpret_cast<std::uint32_t*>(&(s.*Member));
}
} // namespace

// The twelve values, in the order they are read and written.
const std::array<CSettings::Value, 12> CSettings::s_values = {{
    {"ServerPort", &Field<&CSettings::ServerPort>, 8080},
    {"ServerEnabled", &Field<&CSettings::ServerEnabled>, 0},
    {"ImageType", &Field<&CSettings::ImageType>, 0},
    {"HttpHeaders", &Field<&CSettings::HttpHeaders>, 1},
    {"PreviewEnabled", &Field<&CSettings::PreviewEnabled>, 1},
    {"CaptureDevice", &Field<&CSettings::CaptureDevice>, 0xFFFFFFFFu},
    {"ImageHeight", &Field<&CSettings::ImageHeight>, 120},
    {"ImageWidth", &Field<&CSettings::ImageWidth>, 160},
    {"JpegQuality", &Field<&CSettings::JpegQuality>, 75},
    {"UseCustomSize", &Field<&CSettings::UseCustomSize>, 0},
    {"UseOverlay", &Field<&CSettings::UseOverlay>, 0},
    {"OverlayTransColor", &Field<&CSettings::OverlayTransColor>, 0},
}};

LONG CSettings::Load(const std::string& strStore, CaptionStatus* pCaptionKeys)
{
    CRegistryKey key;
    const LONG nOpen = key.Create(strStore, kProductKey);
    std::array<LONG, kCaptionCount> failures{};
    // A value that is absent, or too long for its field, leaves the default; any other failure
    // means the store could not be read, and a record of defaults must not pass for it.
    LONG nUnread = ERROR_SUCCESS;
    auto note = [&](LONG n)
    {
        if (n != ERROR_SUCCESS && n != ERROR_FILE_NOT_FOUND && n != ERROR_MORE_DATA &&
            nUnread == ERROR_SUCCESS)
            nUnread = n;
        return n == ERROR_SUCCESS;
    };
    auto read = [&]
    {
        for (const Value& v : s_values)
        {
            DWORD n;
            *v.field(*this) = note(key.QueryDword(&n, v.pszName)) ? n : v.nDefault;
        }
        for (int i = 0; i < kCaptionCount; ++i)
        {
            LONG nValues = ERROR_SUCCESS;
            failures[std::size_t(i)] = captions[std::size_t(i)].Load(key, i, &nValues);
            note(nValues);
        }
        DWORD nIdBytes = 0;
        const LONG nId =
            key.QueryString(CaptureDeviceId, kDeviceIdValue, kMaxDeviceIdBytes, &nIdBytes);
        if (!note(nId))
            CaptureDeviceId.clear();
        nUnreadDeviceIdBytes = nId == ERROR_MORE_DATA ? nIdBytes : 0;
        // A text too long to be an address or a list is kept as one that cannot be used, so
        // that the server refuses to start on it rather than on every interface for everyone.
        for (auto [pszName, pText] : {std::pair{kServerAddressValue, &ServerAddress},
                                      std::pair{kServerAllowValue, &ServerAllow}})
        {
            const LONG n = key.QueryString(*pText, pszName, kMaxServerTextBytes);
            if (!note(n))
                *pText = n == ERROR_MORE_DATA ? std::string("(longer than 4095 characters)")
                                              : std::string();
        }
        DWORD nIdIndex = 0;
        CaptureDeviceIdIndex =
            note(key.QueryDword(&nIdIndex, kDeviceIdIndexValue)) ? std::int32_t(nIdIndex) : -1;
        return nUnread;
    };
    // The record is read from one state of the store, so another program saving meanwhile
    // cannot leave it half old and half new. The caption keys are made beforehand: making one
    // inside would take the write lock while holding a read lock. Messages wait until the
    // lock is let go.
    LONG nRead = ERROR_SUCCESS;
    if (key.m_hKey == nullptr)
    {
        read();
    }
    else
    {
        for (int i = 0; i < kCaptionCount; ++i)
        {
            CRegistryKey caption;
            caption.CreateSubKey(key, CCaption::KeyName(i).c_str());
        }
        nRead = key.m_hKey->Hive().Consistently(read);
    }
    key.Close();
    if (nOpen != ERROR_SUCCESS)
        return nOpen; // one cause for all: the caller reports it once
    if (nRead != ERROR_SUCCESS)
        return nRead;
    if (pCaptionKeys != nullptr)
        *pCaptionKeys = failures;
    return ERROR_SUCCESS;
}

LONG CSettings::Save(const std::string& strStore)
{
    CRegistryKey key;
    LONG nFirstFailure = key.Create(strStore, kProductKey);
    auto write = [&]
    {
        LONG nFirst = ERROR_SUCCESS;
        auto note = [&](LONG n)
        {
            if (nFirst == ERROR_SUCCESS)
                nFirst = n;
        };
        for (const Value& v : s_values)
            note(key.SetDword(*v.field(*this), v.pszName));
        for (int i = 0; i < kCaptionCount; ++i)
            note(captions[std::size_t(i)].Save(key, i));
        if (!CaptureDeviceId.empty())
        {
            note(key.SetString(CaptureDeviceId.c_str(), kDeviceIdValue));
            note(key.SetDword(DWORD(CaptureDevice), kDeviceIdIndexValue));
        }
        else
        {
            for (const char* pszName : {kDeviceIdValue, kDeviceIdIndexValue})
                if (const LONG n = RegDeleteValueA(key.m_hKey, pszName); n != ERROR_FILE_NOT_FOUND)
                    note(n);
        }
        // Absent when empty, so that a store where they were never set stays as it was.
        for (auto [pszName, pText] : {std::pair{kServerAddressValue, &ServerAddress},
                                      std::pair{kServerAllowValue, &ServerAllow}})
        {
            if (!pText->empty())
                note(key.SetString(pText->c_str(), pszName));
            else if (const LONG n = RegDeleteValueA(key.m_hKey, pszName); n != ERROR_FILE_NOT_FOUND)
                note(n);
        }
        return nFirst;
    };
    // The whole record is one transaction: a save cut short (killed, disk full, a write
    // refused) leaves the record saved before it whole, and the store is synced once
    // rather than once for each of its seventy-odd values.
    if (nFirstFailure == ERROR_SUCCESS)
        nFirstFailure = key.m_hKey->Hive().Atomically(write);
    key.Close();
    return nFirstFailure;
}
