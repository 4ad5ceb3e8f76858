// What the terminal updater's core shares with the file that reaches the
// platform's real drives (UpdaterLinux.cpp, UpdaterWin32.cpp).
#pragma once

#include <functional>
#include <string>

#include "Machine.h"
#include "TAtapi.h"
#include "TerminalWindow.h"
#include "Updater.h"

struct UpdaterOptions {
    std::string command;
    bool simulate = false;
    std::string simulateCase = "match";
    int index = 1;
    bool indexGiven = false;
    std::string device;  // a device path, instead of the index
    bool yes = false, dryRun = false;
    bool json = false;  // list, info
};

// The line `list` prints for an entry of the device table, with the number `list` gives the
// drive (0: list does not show it): "[ n ] Product  Revision  name".
std::string ListLine(TerminalWindow& window, TAtapi& atapi, int entry, int number);
// The drive list as the window fills it, each item with the drive's name after it; or,
// with json, every drive the object's path lists as one JSON document.
int List(const UpdaterStreams& s, TerminalWindow& window, TAtapi& atapi, bool json);
// The flash procedure on drive o.index, over the drive-access object as discovery left it.
// admit(entry of the device table), when set, may refuse the chosen drive before anything
// is sent to it; it says why. listNumber(entry), when set, is the number `list` gives the
// drive (0: list does not show it) where the table was narrowed to the drive --device named.
int Flash(const UpdaterStreams& s, TerminalWindow& window, TAtapi& atapi, const UpdaterOptions& o,
          const std::function<bool(int)>& admit, const std::function<int(int)>& listNumber = nullptr);

// A help option of this platform's own besides --help and -h.
bool IsPlatformHelpOption(const std::string& arg);

// `list` and `flash` on the real drives of this platform.
int RunOnDrives(const UpdaterStreams& s, TerminalWindow& window, const UpdaterOptions& o);
