#include "settings/Settings.h"

#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "platform/ui/MessageBox.h"

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

LONG CSettings::Load()
{
    CRegistryKey key;
    const LONG nOpen = key.Create(HKEY_LOCAL_MACHINE, kProductKey);
    std::array<LONG, kCaptionCount> failures{};
    auto read = [&]
    {
        for (const Value& v : s_values)
        {
            DWORD n;
            *v.field(*this) = key.QueryDword(&n, v.pszName) == ERROR_SUCCESS ? n : v.nDefault;
        }
        for (int i = 0; i < kCaptionCount; ++i)
            failures[std::size_t(i)] = captions[std::size_t(i)].Read(key, i);
        if (key.QueryString(CaptureDeviceId, kDeviceIdValue) != ERROR_SUCCESS)
            CaptureDeviceId.clear();
        return LONG(ERROR_SUCCESS);
    };
    // The record is read from one state of the store, so another program saving meanwhile
    // cannot leave it half old and half new. A read transaction does not wait for a save in
    // progress, only for its commit. The caption keys are made beforehand: making one
    // inside would take the write lock while holding a read lock, which fails at once when
    // another program is saving. Messages wait until the lock is let go.
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
        if (key.m_hKey->Hive().Consistently(read) != ERROR_SUCCESS)
            read(); // the transaction could not begin: read value by value instead
    }
    key.Close();
    if (nOpen != ERROR_SUCCESS)
        return nOpen; // one cause for all: the caller reports it once
    for (LONG nStatus : failures)
        // A caption key that a read-only store lacks reads as a new caption.
        if (nStatus != ERROR_SUCCESS && nStatus != ERROR_FILE_NOT_FOUND)
            CCaption::ReportOpenFailure(nStatus);
    return ERROR_SUCCESS;
}

LONG CSettings::Save()
{
    CRegistryKey key;
    LONG nFirstFailure = key.Create(HKEY_LOCAL_MACHINE, kProductKey);
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
            note(key.SetString(CaptureDeviceId.c_str(), kDeviceIdValue));
        else if (const LONG n = RegDeleteValueA(key.m_hKey, kDeviceIdValue);
                 n != ERROR_FILE_NOT_FOUND)
            note(n);
        return nFirst;
    };
    // The whole record is one transaction: a save cut short (killed, disk full, a write
    // refused) leaves the record saved before it whole, and the store is synced once
    // rather than once for each of its seventy-odd values.
    if (nFirstFailure == ERROR_SUCCESS)
        nFirstFailure = key.m_hKey->Hive().Atomically(write);
    key.Close();

    if (nFirstFailure != ERROR_SUCCESS)
    {
        const std::string text = "The settings could not be saved to " +
                                 CRegistryHive::DefaultPath() + ":\n\n" +
                                 RegistryErrorText(nFirstFailure);
        AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
    }
    return nFirstFailure;
}
