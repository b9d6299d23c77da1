#include "tools/reg/RegTool.h"

#include "platform/registry/RegistryHive.h"
#include "settings/SettingsSchema.h"
#include "tools/reg/RegFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <unordered_set>

namespace
{
const char* const kUsage =
    "usage: vistrel-reg [--settings FILE] query  KEY [VALUE]\n"
    "       vistrel-reg [--settings FILE] query  KEY /s     (or --recursive: every sub-key too)\n"
    "       vistrel-reg [--settings FILE] [--force] set KEY VALUE TYPE DATA\n"
    "                                     (TYPE: REG_DWORD, REG_BINARY, REG_SZ)\n"
    "       vistrel-reg [--settings FILE] delete KEY [VALUE]\n"
    "       vistrel-reg [--settings FILE] export KEY FILE\n"
    "       vistrel-reg [--settings FILE] import FILE\n"
    "       vistrel-reg --help\n"
    "KEY is HKEY_LOCAL_MACHINE\\... (or HKLM\\...); VALUE @ is the key's default value.\n"
    "--settings FILE  the store to work on (default: the user's, as vistrel reads it)\n"
    "--force          set a value under Vistrel's own key that it would not read as given\n"
    "                 (an unknown name, the wrong type, out of its range)\n";

// The names the Windows tools give the value types.
std::string TypeName(DWORD nType)
{
    static const char* const kNames[] = {"REG_NONE",
                                         "REG_SZ",
                                         "REG_EXPAND_SZ",
                                         "REG_BINARY",
                                         "REG_DWORD",
                                         "REG_DWORD_BIG_ENDIAN",
                                         "REG_LINK",
                                         "REG_MULTI_SZ",
                                         "REG_RESOURCE_LIST",
                                         "REG_FULL_RESOURCE_DESCRIPTOR",
                                         "REG_RESOURCE_REQUIREMENTS_LIST",
                                         "REG_QWORD"};
    if (nType < std::size(kNames))
        return kNames[nType];
    return "REG_TYPE_" + std::to_string(nType);
}

std::string ValueName(const std::string& s)
{
    return s == "@" ? std::string() : s;
}

class CTool
{
public:
    CTool(std::ostream& out, std::ostream& err, std::string strStore)
        : m_out(out), m_err(err), m_strStore(std::move(strStore))
    {
    }

    int Run(std::vector<std::string> a)
    {
        // Options come before the command.
        while (!a.empty() && a[0].rfind("-", 0) == 0)
        {
            if (a[0] == "--help" || a[0] == "-h")
            {
                m_out << kUsage;
                return 0;
            }
            if (a[0] == "--force")
                m_bForce = true;
            else if (a[0] == "--settings" && a.size() >= 2 && !a[1].empty())
            {
                m_strStore = a[1];
                a.erase(a.begin());
            }
            else if (a[0].rfind("--settings=", 0) == 0 && a[0].size() > 11)
                m_strStore = a[0].substr(11);
            else
                return Usage();
            a.erase(a.begin());
        }
        if (a.empty())
            return Usage();
        const std::string& cmd = a[0];
        if (cmd == "query" && a.size() == 3 && IsRecursiveSwitch(a[2]))
            return QueryTree(a[1]);
        if (cmd == "query" && (a.size() == 2 || a.size() == 3))
            return Query(a[1], a.size() == 3 ? &a[2] : nullptr);
        if (cmd == "set" && a.size() == 5)
            return Set(a[1], ValueName(a[2]), a[3], a[4]);
        if (cmd == "delete" && (a.size() == 2 || a.size() == 3))
            return Delete(a[1], a.size() == 3 ? &a[2] : nullptr);
        if (cmd == "export" && a.size() == 3)
            return Export(a[1], a[2]);
        if (cmd == "import" && a.size() == 2)
            return Import(a[1]);
        return Usage();
    }

private:
    int Usage()
    {
        m_err << kUsage;
        return 2;
    }
    int Fail(const std::string& strMessage)
    {
        m_err << "vistrel-reg: " << strMessage << "\n";
        return 1;
    }
    int Fail(const std::string& strWhat, LONG nStatus)
    {
        return Fail(strWhat + ": " + RegistryErrorText(nStatus));
    }
    bool OpenHive()
    {
        if (m_pHive)
            return true;
        const LONG n = CRegistryHive::Open(m_strStore, m_pHive);
        if (n != ERROR_SUCCESS)
        {
            Fail("the store " + m_strStore + " cannot be opened", n);
            return false;
        }
        return true;
    }
    // Finds (or, with bCreate, makes) the key; prints the failure itself.
    // A key path below the root with more levels than a key may have.
    static bool TooDeep(const std::string& strSub)
    {
        return !strSub.empty() && std::size_t(std::count(strSub.begin(), strSub.end(), '\\')) + 1 >
                                      CRegistryHive::kMaxDepth;
    }
    static std::string DepthReason()
    {
        return "more than " + std::to_string(CRegistryHive::kMaxDepth) +
               " levels deep; a key may be at most that far below HKEY_LOCAL_MACHINE";
    }

    bool Key(const std::string& strKey, bool bCreate, std::int64_t& nKey)
    {
        std::string sub;
        if (!SplitMachineKey(strKey, sub))
        {
            Fail("the key is not under HKEY_LOCAL_MACHINE: " + strKey);
            return false;
        }
        if (bCreate && TooDeep(sub))
        {
            Fail(strKey + ": " + DepthReason());
            return false;
        }
        if (!OpenHive())
            return false;
        const LONG n = m_pHive->FindKey(CRegistryHive::kRootKey, sub.c_str(), bCreate, &nKey);
        if (n == ERROR_FILE_NOT_FOUND)
        {
            Fail(strKey + ": no such key");
            return false;
        }
        if (n != ERROR_SUCCESS)
        {
            Fail(strKey, n);
            return false;
        }
        return true;
    }

    void PrintValue(const CRegistryHive::Value& v)
    {
        m_out << "    " << (v.strName.empty() ? "(Default)" : v.strName) << "    "
              << TypeName(v.nType) << "    ";
        if ((v.nType == REG_DWORD && v.data.size() == 4) ||
            (v.nType == REG_QWORD && v.data.size() == 8))
        {
            std::uint64_t n = 0;
            for (std::size_t i = v.data.size(); i-- > 0;)
                n = (n << 8) | v.data[i];
            char buf[64];
            if (v.nType == REG_DWORD)
                std::snprintf(buf, sizeof buf, "0x%x (%d)", unsigned(n), std::int32_t(n));
            else
                std::snprintf(buf, sizeof buf, "0x%llx (%lld)", static_cast<unsigned long long>(n),
                              static_cast<long long>(n));
            m_out << buf;
        }
        else if (v.nType == REG_SZ || v.nType == REG_EXPAND_SZ)
        {
            std::string s(v.data.begin(), v.data.end());
            if (!s.empty() && s.back() == '\0')
                s.pop_back();
            m_out << s;
        }
        else if (v.nType == REG_MULTI_SZ)
        {
            // Each string, joined as the Windows tool shows them: with \0 between.
            std::string s(v.data.begin(), v.data.end());
            while (!s.empty() && s.back() == '\0')
                s.pop_back();
            std::size_t nAt = 0;
            while ((nAt = s.find('\0', nAt)) != std::string::npos)
            {
                s.replace(nAt, 1, "\\0");
                nAt += 2;
            }
            m_out << s;
        }
        else
        {
            for (std::uint8_t b : v.data)
            {
                char buf[4];
                std::snprintf(buf, sizeof buf, "%02X", b);
                m_out << buf;
            }
        }
        m_out << "\n";
    }

    int Query(const std::string& strKey, const std::string* pValue)
    {
        std::int64_t nKey;
        if (!Key(strKey, false, nKey))
            return 1;
        std::vector<CRegistryHive::Value> values;
        if (const LONG n = m_pHive->Values(nKey, values); n != ERROR_SUCCESS)
            return Fail(strKey, n);
        m_out << strKey << "\n";
        bool bFound = pValue == nullptr;
        for (const auto& v : values)
            if (pValue == nullptr || CaseEqual(v.strName, ValueName(*pValue)))
            {
                PrintValue(v);
                bFound = true;
            }
        if (!bFound)
            return Fail("no value " + *pValue + " under " + strKey);
        if (pValue == nullptr)
        {
            std::vector<std::string> subKeys;
            m_pHive->SubKeyNames(nKey, subKeys);
            for (const auto& s : subKeys)
                m_out << "\n" << strKey << "\\" << s << "\n";
        }
        return 0;
    }

    static bool IsRecursiveSwitch(const std::string& s)
    {
        return s == "/s" || s == "/S" || s == "-s" || s == "--recursive";
    }

    // Visits the key and every key below it, depth first in name order (each key's full name
    // and id), without recursion however deep the store is; false, said on the error stream,
    // when visit says so, when a key turns out to be one of its own parents (a store written
    // by something else), or when keys go deeper than a key may.
    template <class Visit> bool Walk(const std::string& strKey, std::int64_t nKey, Visit visit)
    {
        struct CItem
        {
            std::string strPath;
            std::int64_t nId;
            std::size_t nDepth;
        };
        std::size_t nDepth = 0;
        if (const LONG n = m_pHive->Depth(nKey, &nDepth); n != ERROR_SUCCESS)
        {
            Fail(strKey, n);
            return false;
        }
        std::vector<CItem> stack{{strKey, nKey, nDepth}};
        std::unordered_set<std::int64_t> seen;
        std::vector<CRegistryHive::SubKey> subKeys;
        while (!stack.empty())
        {
            CItem item = std::move(stack.back());
            stack.pop_back();
            if (!seen.insert(item.nId).second)
            {
                Fail(item.strPath + ": the store is corrupt here: the key is one of its own "
                                    "parents");
                return false;
            }
            if (item.nDepth > CRegistryHive::kMaxDepth)
            {
                Fail(item.strPath + ": more than " + std::to_string(CRegistryHive::kMaxDepth) +
                     " levels deep, deeper than a key may be");
                return false;
            }
            if (!visit(item.strPath, item.nId))
                return false;
            if (const LONG n = m_pHive->SubKeys(item.nId, subKeys); n != ERROR_SUCCESS)
            {
                Fail(item.strPath, n);
                return false;
            }
            for (auto it = subKeys.rbegin(); it != subKeys.rend(); ++it)
                stack.push_back({item.strPath + "\\" + it->strName, it->nId, item.nDepth + 1});
        }
        return true;
    }

    // The key, its values and every key below it with theirs, as the Windows tool's /s lists
    // them: each key's full name, its values indented, a blank line between keys.
    int QueryTree(const std::string& strKey)
    {
        std::int64_t nKey;
        if (!Key(strKey, false, nKey))
            return 1;
        bool bFirst = true;
        const bool bOk =
            Walk(strKey, nKey,
                 [&](const std::string& strPath, std::int64_t nId)
                 {
                     std::vector<CRegistryHive::Value> values;
                     if (const LONG n = m_pHive->Values(nId, values); n != ERROR_SUCCESS)
                     {
                         Fail(strPath, n);
                         return false;
                     }
                     m_out << (bFirst ? "" : "\n") << strPath << "\n";
                     bFirst = false;
                     for (const auto& v : values)
                         PrintValue(v);
                     return true;
                 });
        return bOk ? 0 : 1;
    }

    static bool CaseEqual(const std::string& a, const std::string& b)
    {
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(a[i])) !=
                std::tolower(static_cast<unsigned char>(b[i])))
                return false;
        return true;
    }

    bool ParseData(const std::string& strType, const std::string& strData, DWORD& nType,
                   std::vector<std::uint8_t>& data)
    {
        if (strType == "REG_SZ")
        {
            nType = REG_SZ;
            data.assign(strData.begin(), strData.end());
            data.push_back(0);
            return true;
        }
        if (strType == "REG_DWORD")
        {
            nType = REG_DWORD;
            long long v = 0;
            std::size_t nUsed = 0;
            try
            {
                const bool bHex = strData.size() > 2 && strData[0] == '0' &&
                                  (strData[1] == 'x' || strData[1] == 'X');
                v = std::stoll(bHex ? strData.substr(2) : strData, &nUsed, bHex ? 16 : 10);
                if (bHex)
                    nUsed += 2;
            }
            catch (const std::exception&)
            {
                nUsed = 0;
            }
            if (nUsed == 0 || nUsed != strData.size())
            {
                Fail("not a number: " + strData);
                return false;
            }
            if (v < -2147483648LL || v > 4294967295LL)
            {
                Fail("out of range for REG_DWORD: " + strData);
                return false;
            }
            const auto n = std::uint32_t(v);
            data = {std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16),
                    std::uint8_t(n >> 24)};
            return true;
        }
        if (strType == "REG_BINARY")
        {
            nType = REG_BINARY;
            std::string digits;
            for (char c : strData)
                if (c != ' ' && c != ',' && c != ':')
                    digits.push_back(c);
            if (digits.size() % 2 != 0 ||
                !std::all_of(digits.begin(), digits.end(),
                             [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
            {
                Fail("REG_BINARY takes pairs of hexadecimal digits: " + strData);
                return false;
            }
            data.clear();
            for (std::size_t i = 0; i < digits.size(); i += 2)
                data.push_back(std::uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
            return true;
        }
        Fail("unknown type " + strType + " (REG_DWORD, REG_BINARY or REG_SZ)");
        return false;
    }

    int Set(const std::string& strKey, const std::string& strName, const std::string& strType,
            const std::string& strData)
    {
        DWORD nType;
        std::vector<std::uint8_t> data;
        if (!ParseData(strType, strData, nType, data))
            return 1;
        // A value Vistrel would ignore or misread is refused, unless the user insists.
        std::string sub;
        if (!m_bForce && SplitMachineKey(strKey, sub))
            if (const std::string strWhy = CSettingsSchema::Check(sub, strName, nType, data);
                !strWhy.empty())
                return Fail(strWhy + " (--force writes it anyway)");
        std::int64_t nKey;
        if (!Key(strKey, true, nKey))
            return 1;
        if (const LONG n =
                m_pHive->SetValue(nKey, strName.c_str(), nType, data.data(), DWORD(data.size()));
            n != 0)
            return Fail(strKey + "\\" + strName, n);
        return 0;
    }

    int Delete(const std::string& strKey, const std::string* pValue)
    {
        std::int64_t nKey;
        if (!Key(strKey, false, nKey))
            return 1;
        if (pValue != nullptr)
        {
            if (const LONG n = m_pHive->DeleteValue(nKey, ValueName(*pValue).c_str()); n != 0)
                return n == ERROR_FILE_NOT_FOUND ? Fail(strKey + " " + *pValue + ": no such value")
                                                 : Fail(strKey + " " + *pValue, n);
            return 0;
        }
        if (nKey == CRegistryHive::kRootKey)
            return Fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
        if (const LONG n = m_pHive->DeleteKey(nKey); n != 0)
            return Fail(strKey, n);
        return 0;
    }

    bool Collect(std::int64_t nKey, const std::string& strPath,
                 std::vector<CRegFile::Section>& sections)
    {
        return Walk(strPath, nKey,
                    [&](const std::string& strKeyPath, std::int64_t nId)
                    {
                        CRegFile::Section s;
                        s.strKey = strKeyPath;
                        std::vector<CRegistryHive::Value> values;
                        if (const LONG n = m_pHive->Values(nId, values); n != ERROR_SUCCESS)
                        {
                            Fail(strKeyPath, n);
                            return false;
                        }
                        for (auto& v : values)
                        {
                            CRegFile::Value fv;
                            fv.strName = v.strName;
                            fv.nType = v.nType;
                            fv.data = std::move(v.data);
                            s.values.push_back(std::move(fv));
                        }
                        sections.push_back(std::move(s));
                        return true;
                    });
    }

    int Export(const std::string& strKey, const std::string& strFile)
    {
        std::int64_t nKey;
        if (!Key(strKey, false, nKey))
            return 1;
        std::string sub;
        SplitMachineKey(strKey, sub);
        std::vector<CRegFile::Section> sections;
        if (!Collect(nKey, sub.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + sub,
                     sections))
            return 1; // nothing is written
        const std::string text = CRegFile::Write(sections);
        // Written beside the target and renamed over it, so a failed export leaves no half file.
        const std::string tmp = strFile + ".part";
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            f.write(text.data(), std::streamsize(text.size()));
            f.close();
            if (!f)
            {
                std::remove(tmp.c_str());
                return Fail(strFile + ": cannot be written");
            }
        }
        if (std::rename(tmp.c_str(), strFile.c_str()) != 0)
        {
            std::remove(tmp.c_str());
            return Fail(strFile + ": cannot be written");
        }
        return 0;
    }

    int Import(const std::string& strFile)
    {
        std::ifstream f(strFile, std::ios::binary);
        if (!f)
            return Fail(strFile + ": cannot be read");
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                              std::istreambuf_iterator<char>());
        CRegFile file;
        std::string error;
        if (!file.Parse(bytes, error))
            return Fail(strFile + ": " + error);
        if (!OpenHive())
            return 1;
        std::string failure;
        const LONG n = m_pHive->Atomically(
            [&]() -> LONG
            {
                for (const auto& s : file.m_sections)
                {
                    std::string sub;
                    SplitMachineKey(s.strKey, sub);
                    std::int64_t nKey = 0;
                    if (s.bDelete)
                    {
                        if (sub.empty())
                        {
                            failure = "line " + std::to_string(s.nLine) +
                                      ": HKEY_LOCAL_MACHINE itself cannot be deleted";
                            return ERROR_ACCESS_DENIED;
                        }
                        if (m_pHive->FindKey(CRegistryHive::kRootKey, sub.c_str(), false, &nKey) ==
                            ERROR_SUCCESS)
                            if (const LONG e = m_pHive->DeleteKey(nKey); e != ERROR_SUCCESS)
                            {
                                failure = "line " + std::to_string(s.nLine) + ": " + s.strKey +
                                          ": " + RegistryErrorText(e);
                                return e;
                            }
                        continue;
                    }
                    if (TooDeep(sub))
                    {
                        failure = "line " + std::to_string(s.nLine) + ": " + s.strKey + ": " +
                                  DepthReason();
                        return ERROR_INVALID_PARAMETER;
                    }
                    if (const LONG e =
                            m_pHive->FindKey(CRegistryHive::kRootKey, sub.c_str(), true, &nKey);
                        e != 0)
                    {
                        failure = "line " + std::to_string(s.nLine) + ": " + s.strKey + ": " +
                                  RegistryErrorText(e);
                        return e;
                    }
                    for (const auto& v : s.values)
                    {
                        const LONG e = v.bDelete
                                           ? m_pHive->DeleteValue(nKey, v.strName.c_str())
                                           : m_pHive->SetValue(nKey, v.strName.c_str(), v.nType,
                                                               v.data.data(), DWORD(v.data.size()));
                        if (e != ERROR_SUCCESS && !(v.bDelete && e == ERROR_FILE_NOT_FOUND))
                        {
                            failure =
                                "line " + std::to_string(v.nLine) + ": " + RegistryErrorText(e);
                            return e;
                        }
                    }
                }
                return ERROR_SUCCESS;
            });
        if (n != ERROR_SUCCESS)
            return Fail(strFile + ": nothing was changed: " +
                        (failure.empty() ? RegistryErrorText(n) : failure));
        return 0;
    }

    std::ostream& m_out;
    std::ostream& m_err;
    std::string m_strStore;
    bool m_bForce = false;
    std::shared_ptr<CRegistryHive> m_pHive;
};
} // namespace

int RunRegTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const std::string& strStore)
{
    return CTool(out, err, strStore).Run(args);
}
