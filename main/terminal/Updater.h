// The terminal updater: `updater list|info|flash` over the same window logic
// as the Windows program.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class SgSystem;
class VirtualDrive;

inline constexpr int kExitDone = 0, kExitRefused = 1, kExitUsage = 2;

struct UpdaterStreams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::FILE* in = stdin;
    bool interactive = false;  // questions can be asked (standard input and output are terminals)
    bool outIsTerminal = false;
    // Where real drives are found; tests put a scripted system and folders of their own here.
    SgSystem* system = nullptr;  // the real system calls when null
    std::string sysfsRoot = "/sys", devRoot = "/dev", mountsPath = "/proc/self/mounts";
    // Called with the simulated drive once the command is over, to see what reached it.
    std::function<void(const VirtualDrive&)> simulatedDriveDone;
};

// args without the program name; returns the exit code.
int RunUpdater(const std::vector<std::string>& args, const UpdaterStreams& streams);
