// The updater's real drives on Linux: sysfs discovery, the SG_IO transport and
// the mount refusal.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "EmbeddedContainer.h"
#include "Kfs.h"
#include "Main.h"
#include "MountCheck.h"
#include "PowerSupplyLinux.h"
#include "SgChannel.h"
#include "SgDiscovery.h"
#include "SgSystem.h"
#include "SgTransport.h"
#include "TAtapi.h"
#include "CommandLine.h"
#include "UpdaterCore.h"

namespace {

// Every drive sysfs lists, those that cannot be opened with the reason.
int ListDrives(const UpdaterStreams& s, TerminalWindow& window, TAtapi& atapi, const std::vector<SgDrive>& drives) {
    SKFSParameter parameter;
    TMainW form(window, atapi, parameter, EmbeddedContainerData(), EmbeddedContainerSize());
    form.FormCreate();
    if (drives.empty()) std::fprintf(s.out, "No optical drive found.\n");
    // The table lists the drives that opened, in discovery order.
    size_t item = 0;
    for (const SgDrive& drive : drives) {
        if (drive.tableFull) {
            std::fprintf(s.out, "%s: not listed: %s\n", drive.node.c_str(), drive.reason.c_str());
        } else if (drive.fd < 0) {
            std::fprintf(s.out, "%s: cannot be opened: %s\n", drive.node.c_str(), drive.reason.c_str());
        } else if (item < window.Items().size()) {
            const int entry = static_cast<int>(item++);
            std::fprintf(s.out, "%s\n", ListLine(window, atapi, entry, entry + 1).c_str());
        } else {
            std::fprintf(s.out, "%s: not listed: the device table is full\n", drive.node.c_str());
        }
    }
    return kExitDone;
}

// A mounted drive is refused before the procedure sends anything.
bool NotMounted(const UpdaterStreams& s, TerminalWindow& window, const std::string& node) {
    const MountCheck mount = CheckMounted(node, s.mountsPath, s.sysfsRoot);
    std::string why;
    if (mount.state == MountState::Mounted) {
        why = node + " is mounted on " + mount.target +
              "; unmount it first. Nothing has been sent to the drive.";
    } else if (mount.state == MountState::Unknown) {
        why = "cannot tell whether " + node + " is mounted (" + mount.error +
              "). Nothing has been sent to the drive.";
    } else {
        return true;
    }
    window.AppendLog("Error: " + why);
    std::fprintf(s.err, "updater: %s\n", why.c_str());
    return false;
}

// The refusal of a write whose drive could not be opened, or whose process may not send the
// page writes: the reason, and what to do about it.
int RefuseUnopened(const UpdaterStreams& s, const std::string& what, const char* advice) {
    std::fprintf(s.err, "updater: %s.%s Nothing has been sent to the drive.\n", what.c_str(), advice);
    return kExitRefused;
}

// Who keeps a drive whose node is busy: the sg driver refuses every open while an updater holds it.
std::string BusyHint(const SgDrive& drive) {
    return drive.openError == EBUSY ? " (another program, an updater perhaps, holds it)" : "";
}

// The drives of `drives` that did not open, each with why, joined: the reason a write has no drive.
std::string Unopened(const std::vector<SgDrive>& drives) {
    std::string unopened;
    for (const SgDrive& drive : drives)
        if (drive.fd < 0)
            unopened += (unopened.empty() ? "" : "; ") + drive.node +
                        (drive.tableFull ? " is not listed: " : " cannot be opened: ") + drive.reason + BusyHint(drive);
    return unopened;
}

constexpr int kCapSysRawio = 17;

// Whether the kernel lets this process send commands outside its short list of
// harmless ones (the page writes among them): only with CAP_SYS_RAWIO. Unknown
// (no status file, no CapEff line) counts as yes: the kernel still decides.
bool MaySendVendorCommands(const std::string& statusPath) {
    std::FILE* file = std::fopen(statusPath.c_str(), "r");
    if (file == nullptr) return true;
    char line[256];
    bool may = true;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned long long capabilities = 0;
        if (std::sscanf(line, "CapEff: %llx", &capabilities) == 1) {
            may = (capabilities >> kCapSysRawio & 1) != 0;
            break;
        }
    }
    std::fclose(file);
    return may;
}

}  // namespace

bool IsPlatformHelpOption(const std::string&) { return false; }

ui::PowerStatus MachinePower(const UpdaterStreams& s) { return ReadPowerSupply(s.sysfsRoot + "/class/power_supply"); }

void SleepMilliseconds(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal that is held or ignored does not cut the pause short.
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

UpdaterStreams ProcessStreams() {
    // A closed standard stream would hand its number to the next file opened, a drive's
    // perhaps. /dev/null opened for reading takes its place: writes to it fail and are
    // noted as lost output, reads see the end.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDONLY) != fd) break;
    }
    // Output that cannot be written is noted; it never ends the process in the middle of the writes.
    signal(SIGPIPE, SIG_IGN);
    UpdaterStreams s;
    s.outIsTerminal = isatty(STDOUT_FILENO) == 1;
    if (isatty(STDIN_FILENO) == 1) {
        // Questions go where the user can read them, whatever standard output is sent to.
        if (s.outIsTerminal) {
            s.ask = stdout;
        } else if (isatty(STDERR_FILENO) == 1) {
            s.ask = stderr;
        } else {
            s.ask = std::fopen("/dev/tty", "w");
        }
    }
    return s;
}

int RunOnDrives(const UpdaterStreams& s, TerminalWindow& window, const UpdaterOptions& o) {
    SgTransport transport(s.system ? *s.system : SystemSgSystem());
    for (const std::string& line : SgGiveBackLeftDrives(transport.System(), s.sysfsRoot, s.devRoot))
        std::fprintf(s.err, "updater: %s\n", line.c_str());
    SgDriveList list(transport, s.sysfsRoot, s.devRoot);
    std::vector<SgDrive> drives;
    int opened = 0, number = 0;  // the number `list` gives the drive --device names
    const auto names = [&o](const std::string& node) {
        std::error_code ignored;
        return !node.empty() && (node == o.device || std::filesystem::equivalent(node, o.device, ignored));
    };
    for (const SgDrive& drive : list.Drives()) {
        opened += drive.fd >= 0;
        // A drive's generic node names it as well as its block node does.
        if (o.device.empty() || names(drive.node) || names(drive.genericNode)) {
            drives.push_back(drive);
            number = drive.fd >= 0 ? opened : 0;
        }
    }
    if (!o.device.empty() && drives.empty()) {
        // A node that is gone while a drive is reached by its generic node alone: most likely the
        // drive an updater took from the sr driver, which holds it still or could not be given back.
        std::string busy, left;
        const auto add = [](std::string& to, const std::string& node) { to += (to.empty() ? "" : ", ") + node; };
        std::error_code missing;
        const bool srDriver = std::filesystem::is_directory(s.sysfsRoot + "/bus/scsi/drivers/sr", missing);
        if (!std::filesystem::exists(o.device, missing) && !missing) {
            for (const SgDrive& drive : list.Drives()) {
                if (drive.node != drive.genericNode) continue;
                if (drive.openError == EBUSY)
                    add(busy, drive.node);
                else if (srDriver)
                    add(left, drive.node);
            }
        }
        if (!busy.empty())
            std::fprintf(s.err,
                         "updater: %s is not there now, and %s is in use by another program: an updater that writes "
                         "a drive's firmware takes the drive's block node away until it is done. Wait for it, then "
                         "start again. Nothing has been sent to the drive.\n",
                         ShownArgument(o.device).c_str(), busy.c_str());
        else if (!left.empty())
            std::fprintf(s.err,
                         "updater: %s is not there now; %s is an optical drive without its block node, as an "
                         "updater that was ended without giving the drive back leaves it. Name %s instead, or "
                         "restart the computer to get the block node again. Nothing has been sent to the drive.\n",
                         ShownArgument(o.device).c_str(), left.c_str(), left.c_str());
        else
            std::fprintf(s.err, "updater: %s is not an optical drive the kernel lists\n", ShownArgument(o.device).c_str());
        return kExitRefused;
    }
    if (o.command == "flash" && o.indexGiven && opened > 0 && o.index > opened) {
        // A number past the drives that opened, while some did not: say which, and why. (None
        // opened: the refusal below says why, and the rights writing needs.)
        const std::string unopened = Unopened(list.Drives());
        if (!unopened.empty()) {
            std::fprintf(s.err,
                         "updater: there is no drive %d now: %d %s opened, and %s. Nothing has been sent to the "
                         "drive.\n",
                         o.index, opened, opened == 1 ? "drive" : "drives", unopened.c_str());
            return kExitRefused;
        }
    }
    if (o.command == "flash") {
        // No drive to write to: those that did not open say why, before anything is sent.
        const std::string unopened = Unopened(drives);
        bool anyOpened = false, denied = false;
        for (const SgDrive& drive : drives) {
            anyOpened |= drive.fd >= 0;
            denied |= drive.openError == EACCES || drive.openError == EPERM;
        }
        if (!anyOpened && !unopened.empty())
            return RefuseUnopened(s, unopened,
                                  denied ? " Run updater as root, for example with sudo: writing a drive's firmware "
                                           "also needs read and write access to its device node."
                                         : "");
        if (anyOpened && !MaySendVendorCommands(s.procStatusPath))
            return RefuseUnopened(s,
                                  "this process lacks CAP_SYS_RAWIO, without which the kernel refuses the page "
                                  "writes (EPERM)",
                                  " Run updater as root, for example with sudo, or give it CAP_SYS_RAWIO.");
    }
    SgChannel channel(
        transport, drives, [&window](const std::string& text) { window.ReportSystemError(text); }, s.sysfsRoot);
    TAtapi atapi(channel);
    if (o.command == "list") return o.json ? List(s, window, atapi, true) : ListDrives(s, window, atapi, drives);
    return Flash(
        s, window, atapi, o,
        [&](int entry) {
            const SgDrive* drive = channel.DriveOf(atapi.Devices[entry].Handle);
            return drive != nullptr && NotMounted(s, window, drive->node);
        },
        [&](int entry) { return o.device.empty() ? entry + 1 : number; });
}

