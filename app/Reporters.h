#pragma once
// Where the camera server's words go: with a window, a message is a box; without one, every
// word is a line on standard error.

#include "core/Reporter.h"

// Messages as boxes (the platform's message-box presenter), lines on standard error.
class CWindowReporter : public CReporter
{
public:
    void Message(const std::string& strText, const std::string& strCaption,
                 unsigned nType) override;
    void Line(const std::string& strText) override;
};

// Everything on standard error: "<caption>: <text>", the program's name for a caption.
class CStderrReporter : public CReporter
{
public:
    void Message(const std::string& strText, const std::string& strCaption,
                 unsigned nType) override;
    void Line(const std::string& strText) override;
};
