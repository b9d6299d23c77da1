#include "tools/reg/RegFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace
{
std::string ToLower(std::string s)
{
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// UTF-16LE (after its byte-order mark) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(const std::vector<std::uint8_t>& b, std::size_t nFrom)
{
    std::string out;
    auto put = [&](std::uint32_t c)
    {
        if (c < 0x80)
            out.push_back(char(c));
        else if (c < 0x800)
        {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
        else if (c < 0x10000)
        {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
        else
        {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    };
    for (std::size_t i = nFrom; i + 1 < b.size(); i += 2)
    {
        std::uint32_t c = b[i] | (std::uint32_t(b[i + 1]) << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < b.size())
        {
            const std::uint32_t d = b[i + 2] | (std::uint32_t(b[i + 3]) << 8);
            if (d >= 0xDC00 && d < 0xE000)
            {
                c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
                i += 2;
            }
            else
                c = 0xFFFD;
        }
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        put(c);
    }
    return out;
}

std::string Trim(const std::string& s)
{
    std::size_t a = 0;
    std::size_t b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t'))
        ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r'))
        --b;
    return s.substr(a, b - a);
}

// Reads a quoted string with \\ and \" escapes starting at s[i] == '"'; i ends after the
// closing quote. "" when it was read, else what is wrong with it: a backslash before any other
// character is a mistake (a path with single backslashes), not a character to drop.
std::string ReadQuoted(const std::string& s, std::size_t& i, std::string& out)
{
    if (i >= s.size() || s[i] != '"')
        return "a quoted text expected";
    ++i;
    out.clear();
    while (i < s.size())
    {
        const char c = s[i++];
        if (c == '"')
            return {};
        if (c == '\\' && i < s.size())
        {
            if (s[i] != '\\' && s[i] != '"')
                return std::string("a backslash before '") + s[i] +
                       "' (a backslash in a text is written \\\\)";
            out.push_back(s[i++]);
            continue;
        }
        out.push_back(c);
    }
    return "unterminated text";
}

// The value types whose data is text: in a version 5.00 file their hex(N): bytes are UTF-16LE.
bool IsTextType(DWORD nType)
{
    return nType == REG_SZ || nType == REG_EXPAND_SZ || nType == REG_MULTI_SZ;
}

void PutUtf8(std::vector<std::uint8_t>& out, std::uint32_t c)
{
    if (c < 0x80)
        out.push_back(std::uint8_t(c));
    else if (c < 0x800)
    {
        out.push_back(std::uint8_t(0xC0 | (c >> 6)));
        out.push_back(std::uint8_t(0x80 | (c & 0x3F)));
    }
    else if (c < 0x10000)
    {
        out.push_back(std::uint8_t(0xE0 | (c >> 12)));
        out.push_back(std::uint8_t(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(std::uint8_t(0x80 | (c & 0x3F)));
    }
    else
    {
        out.push_back(std::uint8_t(0xF0 | (c >> 18)));
        out.push_back(std::uint8_t(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(std::uint8_t(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(std::uint8_t(0x80 | (c & 0x3F)));
    }
}

// Text stored as bytes (UTF-8) written as UTF-16LE code units. A byte that is not part of a
// well-formed UTF-8 character travels as the lone surrogate U+DC80..U+DCFF, so that any bytes
// at all come back as they were.
std::vector<std::uint8_t> Utf16FromText(const std::vector<std::uint8_t>& b)
{
    std::vector<std::uint8_t> out;
    auto unit = [&](std::uint32_t u)
    {
        out.push_back(std::uint8_t(u & 0xFF));
        out.push_back(std::uint8_t(u >> 8));
    };
    for (std::size_t i = 0; i < b.size();)
    {
        const std::uint8_t c = b[i];
        int nMore = c >= 0xF0 && c <= 0xF4   ? 3
                    : c >= 0xE0 && c <= 0xEF ? 2
                    : c >= 0xC2 && c <= 0xDF ? 1
                                             : 0;
        std::uint32_t code = nMore == 3 ? c & 0x07 : nMore == 2 ? c & 0x0F : c & 0x1F;
        bool bGood = c < 0x80 || nMore > 0;
        for (int k = 1; bGood && k <= nMore; ++k)
        {
            bGood = i + std::size_t(k) < b.size() && (b[i + std::size_t(k)] & 0xC0) == 0x80;
            if (bGood)
                code = (code << 6) | (b[i + std::size_t(k)] & 0x3F);
        }
        // Shortest forms only, and no surrogates: what else decodes would not encode back.
        if (bGood && nMore > 0)
            bGood = !(nMore == 2 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) &&
                    !(nMore == 3 && (code < 0x10000 || code > 0x10FFFF));
        if (c < 0x80)
            code = c;
        if (!bGood)
        {
            unit(0xDC00 + c);
            ++i;
            continue;
        }
        if (code >= 0x10000)
        {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
        else
        {
            unit(code);
        }
        i += std::size_t(nMore) + 1;
    }
    return out;
}

// UTF-16LE code units back to the text's bytes (UTF-8); the inverse of Utf16FromText. Bytes
// that are not whole code units are kept as they are.
std::vector<std::uint8_t> TextFromUtf16(const std::vector<std::uint8_t>& b)
{
    if (b.size() % 2 != 0)
        return b;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2)
    {
        std::uint32_t c = b[i] | (std::uint32_t(b[i + 1]) << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < b.size())
        {
            const std::uint32_t d = b[i + 2] | (std::uint32_t(b[i + 3]) << 8);
            if (d >= 0xDC00 && d < 0xE000)
            {
                PutUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (c >= 0xDC80 && c < 0xDD00)
            out.push_back(std::uint8_t(c - 0xDC00)); // a byte that was not UTF-8
        else
            PutUtf8(out, c >= 0xD800 && c < 0xE000 ? 0xFFFD : c);
    }
    return out;
}

bool ParseHexBytes(const std::string& s, std::vector<std::uint8_t>& out)
{
    out.clear();
    std::string digits;
    for (char c : s)
    {
        if (c == ',' || c == ' ' || c == '\t')
        {
            if (!digits.empty())
            {
                if (digits.size() > 2)
                    return false;
                out.push_back(std::uint8_t(std::stoul(digits, nullptr, 16)));
                digits.clear();
            }
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits.push_back(c);
    }
    if (!digits.empty())
    {
        if (digits.size() > 2)
            return false;
        out.push_back(std::uint8_t(std::stoul(digits, nullptr, 16)));
    }
    return true;
}

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s)
    {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out;
}
} // namespace

bool SplitMachineKey(const std::string& strKey, std::string& strSubKey)
{
    const std::size_t n = strKey.find('\\');
    const std::string root = ToLower(strKey.substr(0, n));
    if (root != "hkey_local_machine" && root != "hklm")
        return false;
    strSubKey = n == std::string::npos ? std::string() : strKey.substr(n + 1);
    while (!strSubKey.empty() && strSubKey.back() == '\\')
        strSubKey.pop_back();
    return true;
}

bool CRegFile::Parse(const std::vector<std::uint8_t>& bytes, std::string& strError)
{
    m_sections.clear();
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE)
        text = Utf16LeToUtf8(bytes, 2);
    else if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        text.assign(bytes.begin() + 3, bytes.end());
    else
        text.assign(bytes.begin(), bytes.end());
    // Ctrl-Z, the old end-of-file mark, may close the file.
    if (!text.empty() && text.back() == '\x1A')
        text.pop_back();

    std::vector<std::pair<int, std::string>> lines; // logical lines with their first line number
    {
        int nLine = 0;
        std::size_t nStart = 0;
        // A hex value may go on over lines ending in '\\'; its pieces are appended as they
        // come, so a value of many lines costs time in proportion to its length.
        std::string pending;
        bool bContinuing = false;
        int nPendingLine = 0;
        while (nStart < text.size() ||
               (nStart == text.size() && !text.empty() && text.back() != '\n'))
        {
            const std::size_t nEnd = text.find('\n', nStart);
            std::string line =
                text.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
            ++nLine;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::string trimmed = Trim(line);
            const bool bGoesOn = !trimmed.empty() && trimmed.back() == '\\';
            if (bContinuing)
            {
                pending.append(trimmed, 0, trimmed.size() - (bGoesOn ? 1 : 0));
                if (!bGoesOn)
                {
                    lines.emplace_back(nPendingLine, std::move(pending));
                    pending.clear();
                    bContinuing = false;
                }
            }
            else if (bGoesOn && trimmed.find('=') != std::string::npos &&
                     trimmed.find("hex") != std::string::npos)
            {
                nPendingLine = nLine;
                pending = trimmed.substr(0, trimmed.size() - 1);
                bContinuing = true;
            }
            else
                lines.emplace_back(nLine, std::move(line));
            if (nEnd == std::string::npos)
                break;
            nStart = nEnd + 1;
        }
        if (bContinuing)
        {
            strError =
                "line " + std::to_string(nPendingLine) + ": the file ends inside a continued value";
            return false;
        }
    }

    auto fail = [&](int nLine, const std::string& what)
    {
        strError = "line " + std::to_string(nLine) + ": " + what;
        m_sections.clear();
        return false;
    };
    bool bHeader = false;
    bool bUnicode = false; // version 5.00: text in hex(N): values is UTF-16LE
    for (const auto& [nLine, raw] : lines)
    {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';')
            continue;
        if (!bHeader)
        {
            if (line != "Windows Registry Editor Version 5.00" && line != "REGEDIT4")
                return fail(nLine, "not a registry file (expected \"Windows Registry Editor "
                                   "Version 5.00\" or \"REGEDIT4\")");
            bHeader = true;
            bUnicode = line != "REGEDIT4";
            continue;
        }
        if (line[0] == '[')
        {
            if (line.back() != ']' || line.size() < 3)
                return fail(nLine, "a key line must end with ']'");
            Section s;
            s.nLine = nLine;
            s.bDelete = line[1] == '-';
            s.strKey = line.substr(s.bDelete ? 2 : 1, line.size() - (s.bDelete ? 3 : 2));
            // A NUL would cut the name short and the values would land in another key.
            if (s.strKey.find('\0') != std::string::npos)
                return fail(nLine, "a key name cannot hold a NUL character");
            std::string sub;
            if (!SplitMachineKey(s.strKey, sub))
                return fail(nLine, "the key is not under HKEY_LOCAL_MACHINE: " + s.strKey);
            m_sections.push_back(std::move(s));
            continue;
        }
        if (m_sections.empty())
            return fail(nLine, "a value before any [KEY] line");
        if (m_sections.back().bDelete)
            return fail(nLine, "a value under a key that is being deleted");
        Value v;
        v.nLine = nLine;
        std::size_t i = 0;
        if (line[0] == '@')
            i = 1;
        else if (line[0] != '"')
            return fail(nLine, "a value name must be quoted, or @ for the default value");
        else if (const std::string why = ReadQuoted(line, i, v.strName); !why.empty())
            return fail(nLine, "the value name: " + why);
        if (v.strName.find('\0') != std::string::npos)
            return fail(nLine, "a value name cannot hold a NUL character");
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size() || line[i] != '=')
            return fail(nLine, "'=' expected after the value name");
        const std::string data = Trim(line.substr(i + 1));
        if (data == "-")
            v.bDelete = true;
        else if (!data.empty() && data[0] == '"')
        {
            std::size_t j = 0;
            std::string s;
            if (const std::string why = ReadQuoted(data, j, s); !why.empty())
                return fail(nLine, why);
            if (j != data.size())
                return fail(nLine, "something after the closing quote of a text value");
            v.nType = REG_SZ;
            v.data.assign(s.begin(), s.end());
            v.data.push_back(0);
        }
        else if (ToLower(data.substr(0, 6)) == "dword:")
        {
            const std::string hex = data.substr(6);
            if (hex.empty() || hex.size() > 8 ||
                !std::all_of(hex.begin(), hex.end(),
                             [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
                return fail(nLine, "dword: takes 1 to 8 hexadecimal digits");
            const std::uint32_t n = std::uint32_t(std::stoul(hex, nullptr, 16));
            v.nType = REG_DWORD;
            for (int k = 0; k < 4; ++k)
                v.data.push_back(std::uint8_t(n >> (8 * k)));
        }
        else if (ToLower(data.substr(0, 3)) == "hex")
        {
            std::size_t colon = data.find(':');
            if (colon == std::string::npos)
                return fail(nLine, "hex values need ':'");
            const std::string kind = data.substr(3, colon - 3);
            v.nType = REG_BINARY;
            if (!kind.empty())
            {
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
                    return fail(nLine, "hex(N): expected");
                const std::string n = kind.substr(1, kind.size() - 2);
                if (n.empty() || n.size() > 8 ||
                    !std::all_of(n.begin(), n.end(),
                                 [](char c)
                                 { return std::isxdigit(static_cast<unsigned char>(c)); }))
                    return fail(nLine, "unknown value type hex(" + n + ")");
                v.nType = DWORD(std::stoul(n, nullptr, 16));
            }
            if (!ParseHexBytes(data.substr(colon + 1), v.data))
                return fail(nLine, "malformed hexadecimal bytes");
            // Text written as hex is kept as the text it is, as a quoted one would be.
            if (bUnicode && IsTextType(v.nType))
                v.data = TextFromUtf16(v.data);
        }
        else
        {
            return fail(nLine, "unknown value type: " + data.substr(0, 20));
        }
        m_sections.back().values.push_back(std::move(v));
    }
    if (!bHeader)
        return fail(1, "not a registry file (the header line is missing)");
    return true;
}

std::string CRegFile::FormatData(DWORD nType, const std::vector<std::uint8_t>& data)
{
    auto isCleanText = [&]
    {
        // One line of text with its terminating zero; anything else is written as hex(1).
        if (data.empty() || data.back() != 0)
            return false;
        return std::none_of(data.begin(), data.end() - 1,
                            [](std::uint8_t c) { return c == 0 || c == '\r' || c == '\n'; });
    };
    if (nType == REG_SZ && isCleanText())
        return "\"" + Escape(std::string(data.begin(), data.end() - 1)) + "\"";
    if (nType == REG_DWORD && data.size() == 4)
    {
        char buf[16];
        std::snprintf(
            buf, sizeof buf, "dword:%08x",
            unsigned(data[0] | (data[1] << 8) | (data[2] << 16) | (std::uint32_t(data[3]) << 24)));
        return buf;
    }
    const std::vector<std::uint8_t> units = IsTextType(nType) ? Utf16FromText(data) : data;
    std::string out;
    if (nType == REG_BINARY)
        out = "hex:";
    else
    {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", unsigned(nType));
        out = buf;
    }
    std::size_t nColumn = out.size();
    for (std::size_t i = 0; i < units.size(); ++i)
    {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", units[i]);
        out += b;
        nColumn += 2;
        if (i + 1 < units.size())
        {
            out += ",";
            ++nColumn;
            if (nColumn > 76)
            {
                out += "\\\r\n  ";
                nColumn = 2;
            }
        }
    }
    return out;
}

std::string CRegFile::Write(const std::vector<Section>& sections)
{
    std::string out = "Windows Registry Editor Version 5.00\r\n";
    for (const Section& s : sections)
    {
        out += "\r\n[" + std::string(s.bDelete ? "-" : "") + s.strKey + "]\r\n";
        for (const Value& v : s.values)
        {
            out += v.strName.empty() ? std::string("@") : "\"" + Escape(v.strName) + "\"";
            out += "=" + (v.bDelete ? std::string("-") : FormatData(v.nType, v.data)) + "\r\n";
        }
    }
    return out;
}
