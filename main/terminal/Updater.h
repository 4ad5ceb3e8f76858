// The terminal updater: `updater list|info|flash` over the same window logic
// as the Windows program.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class SgSystem;
class VirtualDrive;

// kExitUnconfirmed: every page was written, but the drive did not report the image's version
// when asked again. kExitOutputLost: the command did all it had to, but part of what it
// printed could not be written (a closed pipe, a full disk); a failure keeps its own code.
inline constexpr int kExitDone = 0, kExitRefused = 1, kExitUsage = 2, kExitUnconfirmed = 3, kExitOutputLost = 4;

struct UpdaterStreams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::FILE* in = stdin;
    // The terminal the questions are asked on (answers come from `in`); null when standard
    // input is no terminal: a question is then declined unless --yes answers it.
    std::FILE* ask = nullptr;
    bool outIsTerminal = false;
    // Where real drives are found; tests put a scripted system and folders of their own here.
    SgSystem* system = nullptr;  // the real system calls when null
    std::string sysfsRoot = "/sys", devRoot = "/dev", mountsPath = "/proc/self/mounts";
    std::string procStatusPath = "/proc/self/status";  // the process's capabilities (CapEff)
    // How a real drive's pauses are waited; tests let the time pass at once. The real sleep when null.
    std::function<void(uint32_t milliseconds)> sleep;
    // Called with the simulated drive once the command is over, to see what reached it.
    std::function<void(const VirtualDrive&)> simulatedDriveDone;
};

// The streams of this process, after making sure that a closed standard stream cannot
// lend its number to a drive and that a closed pipe cannot end the process.
UpdaterStreams ProcessStreams();

// args without the program name; returns the exit code.
int RunUpdater(const std::vector<std::string>& args, const UpdaterStreams& streams);
