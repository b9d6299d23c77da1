// vistrel-reg: reads and writes Vistrel's settings store from the command line.

#include "platform/registry/RegistryHive.h"
#include "tools/reg/RegTool.h"

#include <iostream>

int main(int argc, char** argv)
{
    // The store of the program this tool edits.
    return RunRegTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr,
                      CRegistryHive::UserStore("vistrel"));
}
