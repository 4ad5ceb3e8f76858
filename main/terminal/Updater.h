// The terminal updater: `updater list|info|flash` over the same window logic
// as the Windows program.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class VirtualDrive;

inline constexpr int kExitDone = 0, kExitRefused = 1, kExitUsage = 2;

struct UpdaterStreams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::FILE* in = stdin;
    bool interactive = false;  // questions can be asked (standard input and output are terminals)
    bool outIsTerminal = false;
    // Called with the simulated drive once the command is over, to see what reached it.
    std::function<void(const VirtualDrive&)> simulatedDriveDone;
};

// args without the program name; returns the exit code.
int RunUpdater(const std::vector<std::string>& args, const UpdaterStreams& streams);
