#include "Updater.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "BuildVersion.h"
#include "ContainerJson.h"
#include "DryRunOsApi.h"
#include "EmbeddedContainer.h"
#include "Firmware.h"
#include "Kfs.h"
#include "Main.h"
#include "MainTexts.h"
#include "SignalHold.h"
#include "TAtapi.h"
#include "TerminalWindow.h"
#include "UpdaterCore.h"
#include "VirtualOsApi.h"

namespace {

constexpr char kCases[] = "match (default), other-name, other-hwid, newer, fail-page:N";
constexpr char kUsage[] =
    "usage: updater list [--simulate[=CASE]]\n"
    "       updater info [--json] [--simulate[=CASE]]\n"
    "       updater flash [--device PATH | --index N] [--yes] [--dry-run] [--simulate[=CASE]]\n"
    "       updater --help\n"
    "       updater --version\n";

std::string Usage() { return std::string(kUsage) + "CASE: " + kCases + "\n"; }

bool AsksForHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h" || IsPlatformHelpOption(a)) return true;
    return false;
}

bool AsksForVersion(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--version") return true;
    return false;
}

bool PositiveNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::atoi(text.c_str());
    return value > 0;
}

// The error text, or empty when the arguments are good.
std::string Parse(const std::vector<std::string>& args, UpdaterOptions& o) {
    if (args.empty()) return "no command given";
    o.command = args[0];
    if (o.command != "list" && o.command != "info" && o.command != "flash")
        return "unknown command " + o.command;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool flash = o.command == "flash";
        if (a == "--simulate") {
            o.simulate = true;
        } else if (a.rfind("--simulate=", 0) == 0) {
            o.simulate = true;
            o.simulateCase = a.substr(11);
        } else if (o.command == "info" && a == "--json") {
            o.json = true;
        } else if (flash && a == "--yes") {
            o.yes = true;
        } else if (flash && a == "--dry-run") {
            o.dryRun = true;
        } else if (flash && a == "--device") {
            if (++i == args.size() || args[i].empty()) return "--device needs a device path";
            o.device = args[i];
        } else if (flash && a == "--index") {
            if (++i == args.size() || !PositiveNumber(args[i], o.index))
                return "--index needs a drive number from 1";
            o.indexGiven = true;
        } else {
            return "unknown option " + a;
        }
    }
    if (!o.device.empty() && o.indexGiven) return "--device and --index do not go together";
    if (!o.device.empty() && o.simulate) return "--device names a real drive; it does not go with --simulate";
    return {};
}

// The virtual drive each simulated case stands for; false for an unknown case.
// failedPage: the page of fail-page:N, 0 for the other cases.
bool SimulatedDrive(const std::string& name, std::unique_ptr<VirtualDrive>& drive, int& failedPage) {
    VirtualDriveConfig config;
    failedPage = 0;
    if (name == "match") {
    } else if (name == "other-name") {
        config.vendorProduct = "VELD    DVD-RW KX5200   ";
    } else if (name == "other-hwid") {
        config.hardwareId[0] = config.inquiry38 = 'K';
        config.hardwareId[1] = config.inquiry39 = '7';
    } else if (name == "newer") {
        config.revision = "1.10";
    } else if (name.rfind("fail-page:", 0) == 0 && PositiveNumber(name.substr(10), failedPage)) {
    } else {
        return false;
    }
    drive = std::make_unique<VirtualDrive>(config);
    // Medium error, "write error": what a drive answers when a page does not take.
    if (failedPage > 0) drive->FailCommand(0xFD, failedPage, 2, 3, 0x0C, 0);
    return true;
}

std::string Hex4(unsigned value) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", value & 0xFFFF);
    return digits;
}

const char* Text(const std::unique_ptr<char[]>& text) { return text ? text.get() : "(none)"; }

// The pages of the built-in image; 0 when it does not load.
uint32_t ImagePages() {
    SKFSParameter parameter;
    uint32_t length = 0;
    return LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), length, parameter) ? length >> 14 : 0;
}

// What the signal that came during the page writes means for the drive, on both streams.
void TellSignal(const UpdaterStreams& s, TerminalWindow& window, const UpdaterOptions& o, int signal) {
    std::string line = std::string(HeldSignalName(signal));
    if (o.dryRun) {
        line += " came during the dry run; nothing was cut short and no page write was sent.";
    } else if (window.Succeeded() && !window.Refused()) {
        line += " came while the pages were written; the writes went on to the end: every page was "
                "written and the firmware on the drive is complete.";
    } else {
        line += " came while the pages were written.";
    }
    line += " The exit status is 1 because of the signal.";
    window.AppendLog(line);
    std::fprintf(s.err, "updater: %s\n", line.c_str());
}

// Output that could not be written is told (where that can still be done) and changes
// a success into kExitOutputLost; the page writes went on regardless.
int WithOutputChecked(const UpdaterStreams& s, int code) {
    const bool outLost = std::fflush(s.out) != 0 || std::ferror(s.out) != 0;
    const bool errLost = std::fflush(s.err) != 0 || std::ferror(s.err) != 0;
    if (!outLost && !errLost) return code;
    std::fprintf(s.err, "updater: part of the output to standard %s could not be written%s\n",
                 outLost && errLost ? "output and error" : outLost ? "output" : "error",
                 code == kExitDone ? "; the command itself was carried out to its end" : "");
    std::fflush(s.err);
    return code == kExitDone ? kExitOutputLost : code;
}

int Info(const UpdaterStreams& s, TerminalWindow& window, OsApi& os, bool json) {
    TAtapi atapi(os);
    SKFSParameter parameter;
    TMainW form(window, atapi, parameter, EmbeddedContainerData(), EmbeddedContainerSize());
    form.FormCreate();
    if (json) {
        if (!form.Image.data) {
            std::fprintf(s.err, "updater: %s\n", text::kNoContainer);
            return kExitRefused;
        }
        const std::string& caption = window.Caption();
        std::fprintf(s.out, "{\"formatVersion\":%d,\"programVersion\":%s,%s,\"caption\":%s,\"pages\":%u}\n",
                     kJsonFormatVersion, JsonString(BuildVersion(), std::strlen(BuildVersion())).c_str(),
                     ContainerJsonMembers(EmbeddedContainerData(), parameter, form.Image, ReadIdentity(form.Image))
                         .c_str(),
                     JsonString(caption.data(), caption.size()).c_str(), form.Image.length >> 14);
        return kExitDone;
    }
    std::fprintf(s.out, "Caption: %s\n", window.Caption().c_str());
    std::fprintf(s.out, "Stored checksum: %s\n", Hex4(parameter.checksum).c_str());
    std::fprintf(s.out, "Computed checksum: %s\n", Hex4(form.ImageCheckSum).c_str());
    std::fprintf(s.out, "Drive name: \"%s\"\n", Text(form.ImageDriveName));
    std::fprintf(s.out, "Firmware version: %s\n", Text(form.ImageVersion));
    std::fprintf(s.out, "Hardware ID: %s\n", Text(form.ImageHardwareID));
    std::fprintf(s.out, "Pages: %u\n", form.Image.length >> 14);
    if (!form.Image.data) {
        std::fprintf(s.err, "updater: %s\n", text::kNoContainer);
        return kExitRefused;
    }
    return kExitDone;
}

// The build's version and the firmware the program carries.
void PrintVersion(std::FILE* out) {
    FirmwareImage image;
    SKFSParameter parameter;
    LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), image, parameter);
    const ImageIdentity id = ReadIdentity(image);
    std::fprintf(out, "updater %s\nfirmware: drive name %s, firmware version %s\n", BuildVersion(),
                 JsonString(id.driveName.get(), firmware::kDriveNameLength).c_str(),
                 JsonString(id.version.get(), firmware::kVersionLength).c_str());
}

}  // namespace

int List(const UpdaterStreams& s, TerminalWindow& window, OsApi& os, const std::string& kind) {
    TAtapi atapi(os);
    SKFSParameter parameter;
    TMainW form(window, atapi, parameter, EmbeddedContainerData(), EmbeddedContainerSize());
    form.FormCreate();  // fills the drive list exactly as the window's
    if (window.Items().empty()) std::fprintf(s.out, "No optical drive found.\n");
    for (size_t i = 0; i < window.Items().size(); ++i) {
        std::fprintf(s.out, "%s  %s%s\n", window.Items()[i].c_str(),
                     atapi.DeviceName(static_cast<int>(i)).c_str(), kind.c_str());
    }
    return kExitDone;
}

int Flash(const UpdaterStreams& s, TerminalWindow& window, OsApi& os, const UpdaterOptions& o,
          const std::function<bool(const std::string&)>& admit) {
    DryRunOsApi dryRun(os, [&](const uint8_t* cdb, uint32_t length) {
        window.AppendLog("Not sent (dry run): " + CommandHex(cdb) + ", " + std::to_string(length) + " bytes");
    });
    TAtapi atapi(o.dryRun ? static_cast<OsApi&>(dryRun) : os);
    SKFSParameter parameter;
    TMainW form(window, atapi, parameter, EmbeddedContainerData(), EmbeddedContainerSize());
    form.FormCreate();
    const int found = static_cast<int>(window.Items().size());
    if (found == 0 || o.index > found) {
        std::string why = found == 0 ? std::string("no drive to write to was found")
                                     : "there is no drive " + std::to_string(o.index) + "; " +
                                           std::to_string(found) + (found == 1 ? " drive was" : " drives were") +
                                           " found";
        why += " (updater list shows the drives). Nothing has been sent to the drive.";
        window.AppendLog("Error: " + why);
        std::fprintf(s.err, "updater: %s\n", why.c_str());
        return kExitRefused;
    }
    window.SelectDeviceItem(o.index - 1);
    form.cbbDeviceChange();
    if (window.SelectedDeviceIndex() >= 0)
        window.AppendLog("Drive: " + window.Items()[window.SelectedDeviceIndex()]);
    if (admit && window.SelectedDeviceIndex() >= 0 && !admit(atapi.DeviceName(window.SelectedDeviceIndex())))
        return kExitRefused;
    // The page writes run under a signal hold, as the window refuses to close meanwhile.
    std::optional<SignalHold> hold;
    int signal = 0;
    window.onWriting = [&](bool writing) {
        if (writing) {
            hold.emplace();
        } else if (hold) {
            signal = hold->FirstSignal();
            hold.reset();
        }
    };
    form.btnStartClick();
    window.onWriting = nullptr;
    if (signal != 0) {
        TellSignal(s, window, o, signal);
        return kExitRefused;
    }
    return window.Succeeded() && !window.Refused() ? kExitDone : kExitRefused;
}

namespace {

int RunCommand(const std::vector<std::string>& args, const UpdaterStreams& s) {
    if (AsksForHelp(args)) {
        std::fputs(Usage().c_str(), s.out);
        return kExitDone;
    }
    if (AsksForVersion(args)) {
        PrintVersion(s.out);
        return kExitDone;
    }
    UpdaterOptions o;
    std::string error = Parse(args, o);
    std::unique_ptr<VirtualDrive> drive;
    int failedPage = 0;
    if (error.empty() && o.simulate && !SimulatedDrive(o.simulateCase, drive, failedPage)) {
        error = (o.simulateCase.empty() ? std::string("--simulate= needs a case")
                                        : "unknown simulated drive \"" + o.simulateCase + "\"") +
                "; the cases are " + kCases;
    }
    if (error.empty() && failedPage > 0) {
        const uint32_t pages = ImagePages();
        if (pages > 0 && static_cast<uint32_t>(failedPage) > pages)
            error = "fail-page:" + std::to_string(failedPage) + " is past the image's " + std::to_string(pages) +
                    " pages";
    }
    if (!error.empty()) {
        std::fprintf(s.err, "updater: %s\n%s", error.c_str(), Usage().c_str());
        return kExitUsage;
    }
    TerminalOptions options;
    options.yes = o.yes;
    options.dryRun = o.dryRun;
    options.interactive = s.ask != nullptr;
    options.progressBar = s.outIsTerminal;
    TerminalWindow window(options, s.out, s.err, s.in, s.ask);
    if (!o.simulate && o.command != "info") return RunOnDrives(s, window, o);

    VirtualOsApi os;
    if (drive) os.AddDrive(*drive);
    os.onMessageBox = [&window](const std::string& text) { window.ReportSystemError(text); };

    int code;
    if (o.command == "info") {
        code = Info(s, window, os, o.json);
    } else if (o.command == "list") {
        code = List(s, window, os, o.simulate ? " (virtual drive)" : "");
    } else {
        code = Flash(s, window, os, o, nullptr);
    }
    if (drive && s.simulatedDriveDone) s.simulatedDriveDone(*drive);
    return code;
}

}  // namespace

int RunUpdater(const std::vector<std::string>& args, const UpdaterStreams& s) {
    return WithOutputChecked(s, RunCommand(args, s));
}
