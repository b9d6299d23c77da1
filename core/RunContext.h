#pragma once
// What one run of the program is given, decided once when it starts: with a window or
// without, which store holds its settings, where its working files are, where its words go,
// and the settings of this run only (the command line).

#include "core/Reporter.h"
#include "settings/RunOptions.h"

#include <functional>
#include <string>

struct CRunContext
{
    bool bHeadless = false;
    std::string strStore;         // the settings store's file
    std::string strWorkingFolder; // "" for the current directory
    CReporter* pReporter = nullptr;
    CRunOptions options;
    // A signal that asks the program to end while the start still waits (for the store), 0
    // while none has come.
    std::function<int()> stopSignal;
};
