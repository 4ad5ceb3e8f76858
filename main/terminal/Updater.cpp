#include "Updater.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "BuildVersion.h"
#include "CommandLine.h"
#include "ContainerJson.h"
#include "DryRunChannel.h"
#include "EmbeddedContainer.h"
#include "Firmware.h"
#include "Kfs.h"
#include "Main.h"
#include "MainTexts.h"
#include "SignalHold.h"
#include "TAtapi.h"
#include "TerminalWindow.h"
#include "UpdaterCore.h"
#include "VendorProtocol.h"
#include "VirtualChannel.h"

namespace {

constexpr char kCases[] =
    "match (default), other-name, other-hwid, newer, fail-page:N (N from 1 to the image's pages), keeps-old, "
    "late-answer:S (S from 1 to 120), no-answer";
// How long the drive of late-answer:S may stay silent after the last page, in seconds.
constexpr int kMostLateSeconds = 120;
// INQUIRY reaches a simulated drive once when it is listed and once when it is checked;
// the next one is the first question after the last page.
constexpr int kFirstInquiryAfterPages = 3;
constexpr char kUsage[] =
    "usage: updater list [--json] [--simulate[=CASE]]\n"
    "       updater info [--json] [--simulate[=CASE]]\n"
    "       updater flash [--device PATH | --index N] [--yes] [--dry-run] [--simulate[=CASE]]\n"
    "       updater --help\n"
    "       updater --version\n";

constexpr char kExitCodes[] =
    "exit: 0 done (flash: every page written and the drive reports the image's version),\n"
    "      1 refused or failed, 2 usage error, 3 every page written but the drive did not\n"
    "      report the image's version, 4 done but part of the output could not be written\n";

constexpr char kOptionRule[] =
    "A later option replaces an earlier one; a value that begins with \"-\" is given as\n"
    "--option=VALUE; \"--\" ends the options.\n";

std::string Usage() { return std::string(kUsage) + "CASE: " + kCases + "\n" + kOptionRule + kExitCodes; }

bool PositiveNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::atoi(text.c_str());
    return value > 0;
}

// The options of each command, by the rule kfstool follows too.
std::vector<OptionRule> Rules(const std::string& command) {
    std::vector<OptionRule> rules = {{"--help", OptionValue::None},
                                     {"-h", OptionValue::None},
                                     {"--version", OptionValue::None},
                                     {"--simulate", OptionValue::Attached}};
    if (command == "list" || command == "info") rules.push_back({"--json", OptionValue::None});
    if (command == "flash") {
        for (const char* name : {"--yes", "--dry-run"}) rules.push_back({name, OptionValue::None});
        rules.push_back({"--device", OptionValue::Required, "a device path"});
        static const std::string number = "a drive number from 1 to " + std::to_string(kMaxDevices);
        rules.push_back({"--index", OptionValue::Required, number.c_str()});
    }
    return rules;
}

enum class Asked { Command, Help, Version };

// The error text, or empty when the arguments are good; `asked` says whether the usage or the
// version is asked for instead, which any command may do, also among wrong arguments.
std::string Parse(const std::vector<std::string>& args, UpdaterOptions& o, Asked& asked) {
    const std::string command = args.empty() ? std::string() : args[0];
    const bool known = command == "list" || command == "info" || command == "flash";
    const CommandLine line = ScanCommandLine(args, known ? 1 : 0, Rules(command));
    bool platformHelp = false;
    for (const CommandLine::Operand& operand : line.operands) platformHelp |= IsPlatformHelpOption(operand.text);
    asked = line.Has("--help") || line.Has("-h") || platformHelp ? Asked::Help
            : line.Has("--version")                              ? Asked::Version
                                                                 : Asked::Command;
    if (asked != Asked::Command) return {};
    if (args.empty()) return "no command given";
    if (!known) return "unknown command " + ShownArgument(command);
    if (!line.error.empty()) return line.error;
    if (!line.operands.empty())
        return "unexpected argument " + ShownArgument(line.operands[0].text) + ": " + command + " takes options only";
    o.command = command;
    auto value = [&line](const char* name) {
        const auto it = line.options.find(name);
        return it == line.options.end() ? std::nullopt : it->second;
    };
    o.json = line.Has("--json");
    o.yes = line.Has("--yes");
    o.dryRun = line.Has("--dry-run");
    if (line.Has("--simulate")) {
        o.simulate = true;
        if (const auto simulated = value("--simulate")) o.simulateCase = *simulated;
    }
    if (const auto device = value("--device")) {
        if (device->empty()) return "--device needs a device path";
        o.device = *device;
    }
    if (const auto index = value("--index")) {
        // No drive can carry a number past the device table's.
        if (!PositiveNumber(*index, o.index) || o.index > kMaxDevices)
            return "--index needs a drive number from 1 to " + std::to_string(kMaxDevices);
        o.indexGiven = true;
    }
    if (!o.device.empty() && o.indexGiven) return "--device and --index do not go together";
    if (!o.device.empty() && o.simulate) return "--device names a real drive; it does not go with --simulate";
    return {};
}

// The built-in image's page count and version; no pages when it does not load.
struct ImageFacts {
    uint32_t pages = 0;
    std::string version;
};
ImageFacts BuiltInImage() {
    SKFSParameter parameter;
    uint32_t length = 0;
    const std::unique_ptr<uint8_t[]> image =
        LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), length, parameter);
    if (!image) return {};
    const std::unique_ptr<char[]> version = GetVersion(image.get(), length);
    return {length >> kPageShift, version ? version.get() : ""};
}

// The number after a case's colon when it is from 1 to `most`.
std::optional<int> CaseNumber(const std::string& text, int most) {
    int value = 0;
    if (!PositiveNumber(text, value) || value > most) return std::nullopt;
    return value;
}

// The virtual drive each simulated case stands for; the reason when the case is unknown or its
// number out of range.
std::string SimulatedDrive(const std::string& name, const ImageFacts& image, std::unique_ptr<VirtualDrive>& drive) {
    VirtualDriveConfig config;
    int failedPage = 0;
    int silentSeconds = 0;
    const bool failPage = name.rfind("fail-page:", 0) == 0, lateAnswer = name.rfind("late-answer:", 0) == 0;
    if (name == "match") {
    } else if (name == "other-name") {
        config.vendorProduct = "VELD    DVD-RW KX5200   ";
    } else if (name == "other-hwid") {
        config.hardwareId[0] = config.inquiry38 = 'K';
        config.hardwareId[1] = config.inquiry39 = '7';
    } else if (name == "newer") {
        config.revision = "1.10";
    } else if (failPage) {
        const int pages = static_cast<int>(image.pages);
        const auto page = CaseNumber(name.substr(10), pages);
        if (!page)
            return pages == 0 ? "fail-page:N needs an image that loads"
                              : "fail-page:N needs a page N from 1 to " + std::to_string(pages) +
                                    ", the image's pages, not " + ShownArgument(name.substr(10));
        failedPage = *page;
    } else if (name == "keeps-old") {
        config.revision = "1.01";
    } else if (lateAnswer) {
        const auto seconds = CaseNumber(name.substr(12), kMostLateSeconds);
        if (!seconds)
            return "late-answer:S needs S from 1 to " + std::to_string(kMostLateSeconds) + " seconds, not " +
                   ShownArgument(name.substr(12));
        silentSeconds = *seconds;
    } else if (name == "no-answer") {
        silentSeconds = kMostLateSeconds;
    } else {
        return (name.empty() ? std::string("--simulate= needs a case")
                             : "unknown simulated drive " + QuotedText(name.data(), name.size())) +
               "; the cases are " + kCases;
    }
    // A drive that took the whole image reports its version, except the one that keeps its old firmware.
    if (name != "keeps-old") {
        config.flashedRevision = image.version;
        config.flashedAfterPages = static_cast<int>(image.pages);
    }
    drive = std::make_unique<VirtualDrive>(config);
    // Medium error, "write error": what a drive answers when a page does not take.
    if (failedPage > 0) drive->FailCommand(kPageWriteOpcode, failedPage, 2, 3, 0x0C, 0);
    // Not ready, "becoming ready": a drive that restarts with its new firmware. It is asked once a second.
    for (int n = 0; n < silentSeconds; ++n) {
        drive->FailCommand(kInquiryOpcode, kFirstInquiryAfterPages + n, 2, 2, 0x04, 0x01);
    }
    return {};
}

const char* Text(const std::unique_ptr<char[]>& text) { return text ? text.get() : "(none)"; }

// What the signal that came during the page writes means for the drive, on both streams.
void TellSignal(const UpdaterStreams& s, TerminalWindow& window, const UpdaterOptions& o, int signal) {
    std::string line = std::string(HeldSignalName(signal));
    if (o.dryRun) {
        line += " came during the dry run; nothing was cut short and no page write was sent.";
    } else if ((window.Succeeded() || window.Unconfirmed()) && !window.Refused()) {
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
// a success into kExitOutputLost; the page writes went on regardless. Any other code stays.
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

// The members every JSON document of the program begins with.
std::string JsonHead() {
    return "\"formatVersion\":" + std::to_string(kJsonFormatVersion) +
           ",\"programVersion\":" + JsonString(BuildVersion(), std::strlen(BuildVersion()));
}

int Info(const UpdaterStreams& s, TerminalWindow& window, TAtapi& atapi, bool json) {
    SKFSParameter parameter;
    TMainW form(window, atapi, parameter, EmbeddedContainerData(), EmbeddedContainerSize());
    form.FormCreate();
    if (json) {
        if (!form.Image.data) {
            std::fprintf(s.err, "updater: %s\n", text::kNoContainer);
            return kExitRefused;
        }
        const std::string& caption = window.Caption();
        std::fprintf(s.out, "{%s,%s,\"caption\":%s,\"pages\":%u}\n", JsonHead().c_str(),
                     ContainerJsonMembers(EmbeddedContainerData(), parameter, form.Image, ReadIdentity(form.Image))
                         .c_str(),
                     JsonString(caption.data(), caption.size()).c_str(), form.Image.length >> kPageShift);
        return kExitDone;
    }
    std::fprintf(s.out, "Caption: %s\n", window.Caption().c_str());
    std::fprintf(s.out, "Stored checksum: %s\n", Hex4(parameter.checksum).c_str());
    std::fprintf(s.out, "Computed checksum: %s\n", Hex4(form.ImageCheckSum).c_str());
    std::fprintf(s.out, "Drive name: \"%s\"\n", Text(form.ImageDriveName));
    std::fprintf(s.out, "Firmware version: %s\n", Text(form.ImageVersion));
    std::fprintf(s.out, "Hardware ID: %s\n", Text(form.ImageHardwareID));
    std::fprintf(s.out, "Pages: %u\n", form.Image.length >> kPageShift);
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

// A text of the device table: up to `maximum` bytes, ending at the first zero.
std::string TableText(const char* text, size_t maximum) { return JsonString(text, strnlen(text, maximum)); }

// Every drive the path lists, those that did not open or are past the table included.
int ListJson(const UpdaterStreams& s, const TAtapi& atapi, const std::vector<ChannelDrive>& drives) {
    std::string out = "{" + JsonHead() + ",\"drives\":[";
    // The table holds the drives that opened, in the order listed, as far as it reaches.
    int opened = 0;
    for (size_t i = 0; i < drives.size(); ++i) {
        const ChannelDrive& d = drives[i];
        const int entry = d.opened && opened < atapi.DeviceCount ? opened : -1;
        opened += d.opened;
        const DeviceRecord* record = entry >= 0 ? &atapi.Devices[entry] : nullptr;
        std::string reason = d.reason;
        if (d.opened && !record && reason.empty()) reason = "the device table is full";
        out += std::string(i ? "," : "") + "{\"number\":" + (record ? std::to_string(entry + 1) : "null") +
               ",\"node\":" + JsonString(d.name.data(), d.name.size()) +
               ",\"product\":" + (record ? TableText(record->Product, 24) : "null") +
               ",\"revision\":" + (record ? TableText(record->Revision, 4) : "null") +
               ",\"opened\":" + (d.opened ? "true" : "false") +
               ",\"reason\":" + (reason.empty() ? "null" : JsonString(reason.data(), reason.size())) + "}";
    }
    std::fprintf(s.out, "%s]}\n", out.c_str());
    return kExitDone;
}

}  // namespace

std::string ListLine(TerminalWindow& window, TAtapi& atapi, int entry, int number) {
    const std::string& item = window.Items()[entry];
    const std::string tableNumber = "[ " + std::to_string(entry + 1) + " ] ";
    const std::string texts = item.rfind(tableNumber, 0) == 0 ? item.substr(tableNumber.size()) : item;
    const std::string& name = atapi.DeviceName(entry);
    if (number <= 0) return texts + "  " + name + " (not among the drives updater list shows)";
    return "[ " + std::to_string(number) + " ] " + texts + "  " + name;
}

int List(const UpdaterStreams& s, TerminalWindow& window, TAtapi& atapi, bool json) {
    if (json) return ListJson(s, atapi, atapi.OwnPath().Drives());
    SKFSParameter parameter;
    TMainW form(window, atapi, parameter, EmbeddedContainerData(), EmbeddedContainerSize());
    form.FormCreate();  // fills the drive list exactly as the window's
    if (window.Items().empty()) std::fprintf(s.out, "No optical drive found.\n");
    for (size_t i = 0; i < window.Items().size(); ++i) {
        const int entry = static_cast<int>(i);
        std::fprintf(s.out, "%s\n", ListLine(window, atapi, entry, entry + 1).c_str());
    }
    return kExitDone;
}

int Flash(const UpdaterStreams& s, TerminalWindow& window, TAtapi& atapi, const UpdaterOptions& o,
          const std::function<bool(int)>& admit, const std::function<int(int)>& listNumber) {
    // The dry run holds the page writes back on whichever path the drives are reached by.
    DryRunChannel dryRun(atapi.OwnPath(), [&](const CommandRecord& r) {
        window.AppendLog("Not sent (dry run): " + CommandHex(r.cdb) + ", " + std::to_string(r.length) + " bytes");
    });
    struct RouteBack {  // the object outlives the dry run
        TAtapi& atapi;
        ~RouteBack() { atapi.Route(nullptr); }
    } routeBack{atapi};
    if (o.dryRun) atapi.Route(&dryRun);
    SKFSParameter parameter;
    TMainW form(window, atapi, parameter, EmbeddedContainerData(), EmbeddedContainerSize());
    form.ReadBackVersion = !o.dryRun;
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
    const int entry = window.SelectedDeviceIndex();
    if (entry >= 0) window.AppendLog("Drive: " + ListLine(window, atapi, entry, listNumber ? listNumber(entry) : entry + 1));
    if (admit && window.SelectedDeviceIndex() >= 0 && !admit(window.SelectedDeviceIndex()))
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
    if (window.Refused()) return kExitRefused;
    if (window.Succeeded()) return kExitDone;
    if (!window.Unconfirmed()) return kExitRefused;
    const std::string unconfirmed = std::string("every page was written, but the drive did not report the firmware "
                                                "version ") +
                                    (form.ImageVersion ? form.ImageVersion.get() : "") +
                                    "; turn the computer off and on, then check the drive's version";
    window.AppendLog("Not confirmed: " + unconfirmed + " (updater list shows it).");
    std::fprintf(s.err, "updater: %s\n", unconfirmed.c_str());
    return kExitUnconfirmed;
}

namespace {

int RunCommand(const std::vector<std::string>& args, const UpdaterStreams& s) {
    UpdaterOptions o;
    Asked asked = Asked::Command;
    std::string error = Parse(args, o, asked);
    if (asked == Asked::Help) {
        std::fputs(Usage().c_str(), s.out);
        return kExitDone;
    }
    if (asked == Asked::Version) {
        PrintVersion(s.out);
        return kExitDone;
    }
    std::unique_ptr<VirtualDrive> drive;
    const ImageFacts image = o.simulate ? BuiltInImage() : ImageFacts{};
    if (error.empty() && o.simulate) error = SimulatedDrive(o.simulateCase, image, drive);
    if (!error.empty()) {
        std::fprintf(s.err, "updater: %s\n%s", error.c_str(), Usage().c_str());
        return kExitUsage;
    }
    TerminalOptions options;
    options.yes = o.yes;
    options.dryRun = o.dryRun;
    options.interactive = s.ask != nullptr;
    options.progressBar = s.outIsTerminal;
    options.documentOut = o.json;
    TerminalWindow window(options, s.out, s.err, s.in, s.ask);
    window.power = [&s] { return MachinePower(s); };
    if (!o.simulate && o.command != "info") {
        window.sleep = s.sleep ? s.sleep : SleepMilliseconds;
        return RunOnDrives(s, window, o);
    }
    // A simulated drive's time passes at once.

    VirtualChannel channel;
    // info sends nothing to any drive, a simulated one included.
    if (drive && o.command != "info") channel.AddDrive(*drive);
    TAtapi atapi(channel);

    int code;
    if (o.command == "info") {
        code = Info(s, window, atapi, o.json);
    } else if (o.command == "list") {
        code = List(s, window, atapi, o.json);
    } else {
        code = Flash(s, window, atapi, o, nullptr);
    }
    if (drive && s.simulatedDriveDone) s.simulatedDriveDone(*drive);
    return code;
}

}  // namespace

int RunUpdater(const std::vector<std::string>& args, const UpdaterStreams& s) {
    return WithOutputChecked(s, RunCommand(args, s));
}
