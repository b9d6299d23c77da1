#pragma once
// Standard error taken into a file while the object lives, to check what reached it.

#include <cstdio>
#include <string>
#include <unistd.h>

class CCapturedStderr
{
public:
    CCapturedStderr() : m_pFile(std::tmpfile())
    {
        std::fflush(stderr);
        m_nSaved = ::dup(2);
        if (m_pFile != nullptr)
            ::dup2(::fileno(m_pFile), 2);
    }
    ~CCapturedStderr()
    {
        Stop();
        if (m_pFile != nullptr)
            std::fclose(m_pFile);
    }
    CCapturedStderr(const CCapturedStderr&) = delete;
    CCapturedStderr& operator=(const CCapturedStderr&) = delete;

    // Puts standard error back; what was written meanwhile.
    std::string Stop()
    {
        if (m_nSaved >= 0)
        {
            std::fflush(stderr);
            ::dup2(m_nSaved, 2);
            ::close(m_nSaved);
            m_nSaved = -1;
            if (m_pFile != nullptr)
            {
                std::rewind(m_pFile);
                char buffer[4096];
                for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, m_pFile)) > 0;)
                    m_strText.append(buffer, n);
            }
        }
        return m_strText;
    }

private:
    std::FILE* m_pFile;
    int m_nSaved = -1;
    std::string m_strText;
};
