// Stores arbitrary bytes as the values the program reads — the twelve settings and a caption's
// ten values, each of a type and size taken from the input — then loads the settings and
// draws the caption, as start-up and the first image would.

#include "platform/registry/Registry.h"
#include "platform/registry/RegistryHive.h"
#include "settings/Settings.h"

#include <QGuiApplication>

#include "fuzz/harness/Harnesses.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace
{
const char* const kProductValues[] = {"ServerPort",    "ServerEnabled",  "ImageType",
                                      "HttpHeaders",   "PreviewEnabled", "CaptureDevice",
                                      "ImageHeight",   "ImageWidth",     "JpegQuality",
                                      "UseCustomSize", "UseOverlay",     "OverlayTransColor"};
const char* const kCaptionValues[] = {"BackColor", "BackType",  "Enabled",  "FontInfo", "HPosType",
                                      "Text",      "TextColor", "VPosType", "XPos",     "YPos"};

void Setup()
{
    static bool s_done = false;
    if (s_done)
        return;
    s_done = true;
    // The store goes to memory, and to a folder of this process's own.
    const std::string dir = "/dev/shm/vistrel-fuzz-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (QCoreApplication::instance() != nullptr)
        return; // a test program has its own
    static int argc = 1;
    static char arg0[] = "fuzz";
    static char* argv[] = {arg0, nullptr};
    new QGuiApplication(argc, argv);
}
} // namespace

int FuzzStoreValues(const std::uint8_t* pData, std::size_t nSize)
{
    Setup();
    HKEY hProduct = nullptr;
    HKEY hCaption = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, CSettings::kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &hProduct, nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExA(hProduct, "caption0", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hCaption,
                        nullptr) != ERROR_SUCCESS)
        std::abort();
    // Each value: one byte of type, one byte of length, then that many bytes (as many as left).
    std::size_t i = 0;
    auto next = [&](HKEY h, const char* pszName)
    {
        if (i + 2 > nSize)
        {
            RegDeleteValueA(h, pszName);
            return;
        }
        const DWORD nType = pData[i] % 5;
        std::size_t nLen = pData[i + 1];
        if (std::string(pszName) == "Text" && nLen == 255)
            nLen = 1100; // also try a text longer than the read buffer
        i += 2;
        std::string value(reinterpret_cast<const char*>(pData + i), std::min(nLen, nSize - i));
        i += value.size();
        if (value.size() < nLen && nLen == 1100)
            value.resize(nLen, 'x');
        RegSetValueExA(h, pszName, 0, nType, reinterpret_cast<const BYTE*>(value.data()),
                       DWORD(value.size()));
    };
    // The writes share one transaction: they are the set-up, not what is being fuzzed, and
    // twenty-two commits would make the reads a small part of each run.
    hProduct->Hive().Atomically(
        [&]
        {
            for (const char* name : kProductValues)
                next(hProduct, name);
            for (const char* name : kCaptionValues)
                next(hCaption, name);
            return LONG(ERROR_SUCCESS);
        });
    RegCloseKey(hCaption);
    RegCloseKey(hProduct);

    CSettings settings;
    settings.Load();
    CCaption& caption = settings.captions[0];
    caption.Enabled = 1;
    auto section = CDibSection::Create(64, 48);
    CMemoryDC dc;
    dc.SelectBitmap(section.get());
    caption.Draw(dc, {0, 0, 64, 48});
    return 0;
}
