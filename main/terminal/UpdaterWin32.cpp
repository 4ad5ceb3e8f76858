// The updater's real drives on Windows: the same drive access as the window
// program, by pass-through on the NT family and through ASPI on the 9x family.
#include <io.h>

#include <cstdio>

#include "ConsoleOsApi.h"
#include "CommandLine.h"
#include "UpdaterCore.h"
#include "Win32OsApi.h"

bool IsPlatformHelpOption(const std::string& arg) { return arg == "/?"; }

UpdaterStreams ProcessStreams() {
    // A write to a closed pipe fails here without a signal; the failure is noted.
    UpdaterStreams s;
    s.outIsTerminal = _isatty(_fileno(stdout)) != 0;
    if (_isatty(_fileno(stdin)) != 0) {
        // Questions go where the user can read them, whatever standard output is sent to.
        if (s.outIsTerminal) {
            s.ask = stdout;
        } else if (_isatty(_fileno(stderr)) != 0) {
            s.ask = stderr;
        } else {
            s.ask = std::fopen("CONOUT$", "w");
        }
    }
    return s;
}

int RunOnDrives(const UpdaterStreams& s, TerminalWindow& window, const UpdaterOptions& o) {
    OsApi& system = SystemOsApi();
    const bool passThrough = system.GetVersionPlatformId() == kPlatformWin32Nt;
    char letter = 0;
    if (!o.device.empty()) {
        letter = DriveLetterOf(o.device);
        if (letter == 0) {
            std::fprintf(s.err, "updater: %s is not a drive letter (D: or \\\\.\\D:)\n", ShownArgument(o.device).c_str());
            return kExitUsage;
        }
        if (!passThrough) {
            std::fprintf(s.err, "updater: the drives are reached through ASPI here, not by letter; use --index\n");
            return kExitRefused;
        }
    }
    ConsoleOsApi<Win32OsApi> os([&window](const std::string& text) { window.ReportSystemError(text); }, letter);
    if (letter != 0 && os.GetDriveType(std::string(1, letter) + ":\\") != kDriveCdrom) {
        std::fprintf(s.err, "updater: %c: is not an optical drive\n", letter);
        return kExitRefused;
    }
    TAtapi atapi(os);
    if (o.command == "list") return List(s, window, atapi, o.json);
    if (letter != 0 && atapi.DeviceCount == 0 && !os.OpenError().empty()) {
        std::fprintf(s.err,
                     "updater: %c: cannot be opened: %s. Sending a drive its vendor commands needs an "
                     "administrator's rights: run the console as administrator. Nothing has been sent to "
                     "the drive.\n",
                     letter, os.OpenError().c_str());
        return kExitRefused;
    }
    const int number = letter != 0 ? os.ListNumber() : 0;
    return Flash(s, window, atapi, o, nullptr, [&](int entry) { return letter != 0 ? number : entry + 1; });
}
