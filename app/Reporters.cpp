#include "app/Reporters.h"

#include "platform/ui/MessageBox.h"

#include <cstdio>

namespace
{
constexpr const char* kName = "Vistrel";

void Print(const std::string& strCaption, const std::string& strText)
{
    std::fprintf(stderr, "%s: %s\n", strCaption.empty() ? kName : strCaption.c_str(),
                 strText.c_str());
    std::fflush(stderr);
}
} // namespace

void CWindowReporter::Message(const std::string& strText, const std::string& strCaption,
                              unsigned nType)
{
    MessageBoxA(nullptr, strText.c_str(), strCaption.empty() ? kName : strCaption.c_str(), nType);
}

void CWindowReporter::Line(const std::string& strText)
{
    Print(kName, strText);
}

void CStderrReporter::Message(const std::string& strText, const std::string& strCaption, unsigned)
{
    Print(strCaption, strText);
}

void CStderrReporter::Line(const std::string& strText)
{
    Print(kName, strText);
}
