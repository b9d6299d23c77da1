#pragma once
// One line of text stamped onto every served image: a time format expanded against the local
// time at each draw, at one of nine anchors or at pixel coordinates, in its own font, text
// colour and background. Persisted in its own registry sub-key "caption<index>".

#include "platform/gdi/Font.h"
#include "platform/gdi/GdiTypes.h"
#include "platform/gdi/MemoryDC.h"
#include "platform/registry/RegistryTypes.h"

#include <ctime>
#include <string>

class CRegistryKey;

class CCaption
{
public:
    CCaption();
    virtual ~CCaption() = default;
    CCaption(const CCaption&) = default;
    CCaption& operator=(const CCaption&) = default;

    void Draw(CMemoryDC& dc, const RECT& rc) const;
    LONG Save(CRegistryKey& parent, int nIndex) const;
    // Reads the caption's values: the status of opening its sub-key (the caller tells the
    // user, "Error opening key"). A value that could not be read (the store busy or damaged,
    // not merely absent) is told in *pnValueFailure.
    LONG Load(CRegistryKey& parent, int nIndex, LONG* pnValueFailure = nullptr);
    // The sub-key, below the product key, that holds caption nIndex.
    static std::string KeyName(int nIndex);

    // The text as strftime expands it for the given time; any length, empty allowed.
    static std::string ExpandTime(const std::string& strFormat, const std::tm& when);

    // The longest text that loads back: the store is read through a 1024-byte buffer that
    // also holds the terminating zero.
    static constexpr std::size_t kMaxTextBytes = 1023;

    std::int32_t Enabled = 0;
    std::int32_t HPosType = 0;
    std::int32_t VPosType = 0;
    std::int32_t XPos = 0;
    std::int32_t YPos = 0;
    COLORREF TextColor = 0x000000;
    COLORREF BackColor = 0xFFFFFF;
    std::int32_t BackType = 0;
    LOGFONTA FontInfo;
    std::string Text = "Click To Edit Caption";

    bool operator==(const CCaption&) const = default;
};
