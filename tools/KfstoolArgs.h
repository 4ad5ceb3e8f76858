// kfstool's command line, parsed without side effects so that callers (and
// the fuzzer) get a result or a reason instead of an exit.
#pragma once

#include <string>
#include <vector>

#include "KfsWriter.h"

enum class KfstoolCommand { Help, Version, Info, Unpack, Pack, Verify };

struct KfstoolArgs {
    KfstoolCommand command = KfstoolCommand::Help;
    bool json = false;     // info
    std::string input;     // FILE, or pack's IMAGE; "-" is standard input
    bool builtin = false;  // FILE is the built-in container (input is then "--builtin")
    std::string output;    // OUT; "-" is standard output
    KfsPackOptions pack;   // pack
};

struct ParsedKfstoolArgs {
    bool ok = false;
    std::string error;  // the usage error, when not ok
    KfstoolArgs args;
};

extern const char kKfstoolUsage[];

// `args` are the arguments after the program name.
ParsedKfstoolArgs ParseKfstoolArgs(const std::vector<std::string>& args);
