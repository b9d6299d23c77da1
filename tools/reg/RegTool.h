#pragma once
// vistrel-reg: the settings store from the command line.
//   query  KEY [VALUE]            print the values of KEY (or one value) with their types
//   set    KEY VALUE TYPE DATA    TYPE: REG_DWORD, REG_BINARY, REG_SZ
//   delete KEY [VALUE]            remove a value, or a key with everything below it
//   export KEY FILE               write KEY and its sub-keys as a .reg file
//   import FILE                   apply a .reg file, all or nothing

#include "platform/registry/RegistryHive.h"

#include <ostream>
#include <string>
#include <vector>

// Runs one command on the store at strStore; 0 on success, 1 when it failed (a one-line message on
// err), 2 for usage.
int RunRegTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const std::string& strStore = CRegistryHive::DefaultPath());
