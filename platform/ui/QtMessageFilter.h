#pragma once
// Qt's own lines on standard error, kept to what concerns a user of Vistrel: two notes that
// say nothing to one (no runtime folder, a window hint the plugin cannot pass on) are left
// out, everything else goes on as Qt would print it; a platform plugin that cannot be loaded
// ends the program with one line naming the platforms there are, and status 1, instead of
// Qt's abort. Install it before the application object is made.

#include <QString>

class CQtMessageFilter
{
public:
    static void Install();

    // What becomes of one of Qt's lines: false when it is left out.
    static bool Passes(const QString& message);
    // The line for Qt's fatal "no platform plugin" message, "" for any other message.
    static QString PlatformFailure(const QString& message);
};
