#pragma once
// Where the camera server's words go. The application decides: with a window, a message is a
// box the user closes; without one, every word is a line on standard error.

#include <string>

class CReporter
{
public:
    virtual ~CReporter() = default;
    // Something the user must see ("DOH! Can't open this driver"): the type is a message
    // box's (MB_OK with an icon), the caption empty for the program's own name.
    virtual void Message(const std::string& strText, const std::string& strCaption,
                         unsigned nType) = 0;
    // One line for whoever reads standard error ("Vistrel: " goes before it).
    virtual void Line(const std::string& strText) = 0;
};
