#pragma once
// Sets an environment variable for one scope and puts the old value back afterwards.

#include <cstdlib>
#include <optional>
#include <string>

class CScopedEnv
{
public:
    CScopedEnv(const char* pszName, const std::string& strValue) : m_strName(pszName)
    {
        if (const char* p = std::getenv(pszName))
            m_old = p;
        setenv(pszName, strValue.c_str(), 1);
    }
    ~CScopedEnv()
    {
        if (m_old)
            setenv(m_strName.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_strName.c_str());
    }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    std::string m_strName;
    std::optional<std::string> m_old;
};
