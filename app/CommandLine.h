#pragma once
// The program's command line, beside Qt's own options (-platform and the rest, which Qt
// takes first): --help, --version, --list-devices, and settings for this run only.

#include "platform/capture/DriverList.h"
#include "settings/RunOptions.h"

#include <QStringList>

#include <string>
#include <vector>

class CCommandLine
{
public:
    enum class Action
    {
        Run,          // start, with the options
        PrintAndExit, // print strText on standard output, exit 0
        Fail,         // print strText on standard error, exit 1
    };
    struct CResult
    {
        Action action = Action::Run;
        std::string strText;
        CRunOptions options;
        // Where this run's settings store and working folder are ("" for the usual ones);
        // the folder is an absolute path to a folder that exists.
        std::string strSettingsFile;
        std::string strWorkingFolder;
        // Lines for standard error before the run starts (what was given and is ignored).
        std::vector<std::string> notes;
    };

    // args as QCoreApplication::arguments() gives them, the program's name first.
    static CResult Parse(const QStringList& args, const CDriverList& drivers);

    // True when nothing chose a platform (no -platform, no QT_QPA_PLATFORM) and there is no
    // display to open: the program then runs headless instead of aborting.
    static bool ShouldRunHeadless(int argc, const char* const* argv);
    // True when the platform asked for (-platform, or QT_QPA_PLATFORM) is "offscreen", which
    // has no screen: the program then runs without a window too.
    static bool AsksForNoWindow(int argc, const char* const* argv);
};
