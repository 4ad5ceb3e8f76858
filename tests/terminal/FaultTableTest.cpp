// Every fault at every step: a whole flash runs once to count the calls that leave the program
// (commands and system calls), then once for each call and each fault that call can have,
// failing exactly that call. The window procedure on both Windows paths, the terminal program
// on Linux; each run is checked for what the user must be able to rely on.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FakeRoot.h"
#include "AnsweringWindow.h"
#include "Capture.h"
#include "EmbeddedContainer.h"
#include "FakeOs.h"
#include "FakeSgSystem.h"
#include "Firmware.h"
#include "Kfs.h"
#include "Main.h"
#include "MainTexts.h"
#include "SgTransport.h"
#include "TAtapi.h"
#include "TempDir.h"
#include "TerminalWindow.h"
#include "TestImage.h"
#include "Updater.h"
#include "VendorProtocol.h"
#include "VirtualDrive.h"

namespace {

enum class Path { PassThrough, Aspi, Linux };
enum class Kind { None, OsError, Tolerated, TimedOut, WaitFailed, NoEvent, CheckCondition, Busy, Short, HostFailure,
                  LowBattery, Declined };
const char* const kKindNames[] = {"none", "oserror", "tolerated", "timedout", "waitfailed", "noevent",
                                  "check", "busy", "short", "host", "lowbattery", "declined"};
const char* const kPathNames[] = {"passthrough", "aspi", "linux"};

// What a counted call was in the clean run.
struct Role {
    std::string name;  // discovery, lock, unlock, identity, inquiry, page, readback, open, unbind, bind
    int page = 0;      // page: its number from 1
};

struct Case {
    Path path;
    int call = 0;  // from 1, of the calls counted; 0 for a fault of the window's (power, answers)
    Kind kind = Kind::None;
    uint32_t error = 0;
    Role role;
};

// How a run must end.
enum class End { Done, Refused, PageFailed, Unconfirmed };

End Expected(const Case& c) {
    const std::string& r = c.role.name;
    if (c.kind == Kind::LowBattery || c.kind == Kind::Declined) return End::Refused;
    if (r == "unlock" || r == "bind" || r == "discovery") return End::Done;
    // On Linux a drive that cannot be taken from the sr driver is not held: refused, nothing sent.
    if (r == "unbind") return End::Refused;
    // A system without the request keeps nobody out: the procedure goes on and says so.
    if (r == "lock") return c.error == 1 || c.error == 50 || c.error == 87 ? End::Done : End::Refused;
    if (r == "identity" || r == "inquiry" || r == "open") return End::Refused;
    // Counted as written although the drive never got it: the drive's version afterwards tells.
    if (r == "page") return c.kind == Kind::Tolerated ? End::Unconfirmed : End::PageFailed;
    // The question the system could not deliver is not repeated; any other failure is asked again.
    if (r == "readback") return c.kind == Kind::OsError ? End::Unconfirmed : End::Done;
    ADD_FAILURE() << "no role " << r;
    return End::Done;
}

// The sense a drive gives for a page that did not take, with ILI set: the key is its low four bits.
constexpr uint8_t kSense[18] = {0x70, 0, 0x20 | 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00, 0, 0, 0, 0};
constexpr int kMostCalls = 2000;  // a run that makes more is one that does not end

// What happened in one run, as the checks need it.
struct Trace {
    std::vector<Role> roles;  // every counted call, in order
    int pageAttempts = 0;     // page writes that left the program
    bool succeeded = false;   // "Flash Succeed!" was shown
    bool pagesWhole = false;  // the drive holds every page of the image, as sent
    std::string failureBox;   // the page failure's text
    bool unconfirmedBox = false;
    std::string lastBox;  // the window's last box text
    std::vector<std::string> log;  // the window's log, or the terminal's standard output by line
    uint32_t progress = 0;         // the window's progress bar at the end
    std::vector<std::string> problems;  // any check of the path's own that failed
};

// The drive both Windows paths reach: its hardware ID only in the identity reply (INQUIRY bytes 38 and
// 39 differ), the image's version only once every page is in.
VirtualDriveConfig FaultDrive(const std::string& imageVersion, int pages) {
    VirtualDriveConfig config;
    config.revision = "0.01";
    config.inquiry38 = 'Z';
    config.inquiry39 = '9';
    config.flashedRevision = imageVersion;
    config.flashedAfterPages = pages;
    return config;
}

Role CommandRole(uint8_t opcode, int pagesBefore, bool pagesDone, bool identitySeen) {
    if (opcode == kPageWriteOpcode) return {"page", pagesBefore + 1};
    if (opcode == kIdentityQueryOpcode) return {"identity"};
    if (pagesDone) return {"readback"};
    return {identitySeen ? "inquiry" : "discovery"};
}

// --- Windows: the scripted OS layer, failing one call

class FaultOs : public FakeOs {
public:
    Case fault;
    bool counting = false;
    Trace* run = nullptr;
    int pages = 0;
    bool identitySeen = false;

    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                         uint32_t* returned) override {
        if (!counting) return FakeOs::DeviceIoControl(device, code, in, inSize, out, outSize, returned);
        auto* block = static_cast<uint8_t*>(in);
        const PassThroughLayout& layout = kNativePassThrough;
        const bool exclusive = code == kIoctlCdromExclusiveAccess;
        Role role = exclusive ? Role{static_cast<CdromExclusiveAccess*>(in)->RequestType == kExclusiveAccessUnlockDevice
                                         ? "unlock"
                                         : "lock"}
                              : Next(block[layout.cdb]);
        if (!Count(role)) return Fail(31);
        if (Calls() != fault.call) return FakeOs::DeviceIoControl(device, code, in, inSize, out, outSize, returned);
        switch (fault.kind) {
            case Kind::OsError:
            case Kind::Tolerated:
                return Fail(fault.error);
            case Kind::CheckCondition:
                block[2] = 2;
                std::memcpy(block + layout.senseOffset, kSense, sizeof kSense);
                block[7] = sizeof kSense;
                return true;
            case Kind::Busy:
                block[2] = 8;
                return true;
            case Kind::Short: {
                const bool ok = FakeOs::DeviceIoControl(device, code, in, inSize, out, outSize, returned);
                uint32_t length;
                std::memcpy(&length, block + layout.dataTransferLength, 4);
                uintptr_t address = 0;
                std::memcpy(&address, block + layout.dataBuffer, sizeof address);
                if (block[8] == kScsiIoctlDataIn) std::memset(reinterpret_cast<uint8_t*>(address) + length / 2, 0,
                                                              length - length / 2);
                length /= 2;
                std::memcpy(block + layout.dataTransferLength, &length, 4);
                return ok;
            }
            default:
                ADD_FAILURE() << "no such fault here";
                return false;
        }
    }

    OsHandle CreateEvent() override {
        if (counting && pendingCommand_ && fault.kind == Kind::NoEvent && Calls() + 1 == fault.call) {
            // The command that would have gone is counted, though it never leaves.
            pendingCommand_ = false;
            Count(Next(nextOpcode_));
            SetLastError(1450);
            return 0;
        }
        return FakeOs::CreateEvent();
    }

    uint32_t WaitForSingleObject(OsHandle event, uint32_t milliseconds) override {
        if (counting && Calls() == fault.call && waitFault_) {
            waitFault_ = false;
            if (fault.kind == Kind::WaitFailed) {
                SetLastError(6);
                return kWaitFailed;
            }
            return kWaitTimeout;
        }
        return FakeOs::WaitForSingleObject(event, milliseconds);
    }

    uint32_t CallSendASPI32Command(void* entry, void* request) override {
        auto* srb = static_cast<SrbExecScsiCmd*>(request);
        if (!counting || static_cast<SrbHeader*>(request)->SRB_Cmd != kScExecScsiCmd) return FakeOs::CallSendASPI32Command(entry, request);
        if (!Count(Next(srb->CDBByte[0]))) {
            srb->SRB_Status = kSsErr;
            return kSsErr;
        }
        if (Calls() != fault.call) return FakeOs::CallSendASPI32Command(entry, request);
        switch (fault.kind) {
            case Kind::HostFailure:
                srb->SRB_Status = kSsErr;
                srb->SRB_HaStat = 0x11;  // selection time-out
                return kSsErr;
            case Kind::CheckCondition:
                srb->SRB_Status = kSsErr;
                srb->SRB_TargStat = 2;
                std::memcpy(srb->SenseArea, kSense, std::min<size_t>(sizeof kSense, srb->SRB_SenseLen));
                return kSsErr;
            case Kind::Busy:
                srb->SRB_Status = kSsErr;
                srb->SRB_TargStat = 8;
                return kSsErr;
            case Kind::TimedOut:
            case Kind::WaitFailed:
                srb->SRB_Status = kSsPending;
                waitFault_ = true;
                return kSsPending;
            default:
                ADD_FAILURE() << "no such fault here";
                return kSsErr;
        }
    }

    // Before the ASPI path creates its event, it says which command comes.
    void Coming(uint8_t opcode) {
        pendingCommand_ = true;
        nextOpcode_ = opcode;
    }

private:
    int Calls() const { return static_cast<int>(run->roles.size()); }
    Role Next(uint8_t opcode) {
        Role role = CommandRole(opcode, run->pageAttempts, run->pageAttempts == pages, identitySeen);
        identitySeen |= opcode == kIdentityQueryOpcode;
        return role;
    }
    bool Count(const Role& role) {
        pendingCommand_ = false;
        run->pageAttempts += role.name == "page";
        run->roles.push_back(role);
        return Calls() <= kMostCalls;
    }
    bool Fail(uint32_t error) {
        SetLastError(error);
        return false;
    }
    bool pendingCommand_ = false, waitFault_ = false;
    uint8_t nextOpcode_ = 0;
};

Trace RunWindow(const Case& c, bool again = false) {
    const std::vector<uint8_t> image = testimage::Image({});
    const std::vector<uint8_t> container = testimage::Container(image);
    const int pages = static_cast<int>(image.size() / kPageSize);
    VirtualDrive drive(FaultDrive("1.02", pages));
    FaultOs os;
    Trace run;
    os.run = &run;
    os.pages = pages;
    os.fault = c;
    if (c.path == Path::Aspi) {
        os.platformId = 1;
        os.AddAspiDevice(0, 1, 0, &drive);
    } else {
        os.AddDrive('D', &drive);
    }
    AnsweringWindow window;
    window.decline = c.kind == Kind::Declined;
    if (c.kind == Kind::LowBattery) window.power = {ui::PowerSource::Battery, 10};
    SKFSParameter parameter;
    TAtapi atapi(os);
    TMainW form(window, atapi, parameter, container.data(), container.size());
    form.FormCreate();
    const int selected = window.selected;
    // The ASPI path makes an event for each command: the fault of that call is a command that never leaves.
    struct Announce : ScsiChannel {
        ScsiChannel& inner;
        FaultOs& os;
        Announce(ScsiChannel& i, FaultOs& o) : inner(i), os(o) {}
        const std::vector<ChannelDrive>& Drives() override { return inner.Drives(); }
        uint8_t Send(OsHandle d, CommandRecord& r) override {
            os.Coming(r.cdb[0]);
            return inner.Send(d, r);
        }
        std::string Describe(const CommandRecord& r) const override { return inner.Describe(r); }
        Reservation Reserve(OsHandle d) override { return inner.Reserve(d); }
        void Release(OsHandle d) override { inner.Release(d); }
    } announce(atapi.OwnPath(), os);
    atapi.Route(&announce);
    os.counting = true;
    form.btnStartClick();
    os.counting = false;

    run.succeeded = window.Last(ui::BoxKind::Succeeded);
    run.unconfirmedBox = window.Last(ui::BoxKind::Unconfirmed);
    if (window.Last(ui::BoxKind::PageFailed)) run.failureBox = window.lastText;
    run.pagesWhole = drive.AssembledImage() == image && drive.Mismatches().empty();
    run.lastBox = window.lastText;
    run.log = window.log;
    run.progress = window.progress;
    auto problem = [&](bool bad, const std::string& what) {
        if (bad) run.problems.push_back(what);
    };
    problem(window.writingDepth != 0 || window.writingCalls % 2 != 0, "the window was left in its writing state");
    problem(window.selected != selected, "the selection changed");
    // A drive whose unlock failed stays locked to its handle until the program ends, and is refused meanwhile.
    const bool unlockFailed = c.role.name == "unlock";
    problem(!os.locks.empty() && !unlockFailed, "the drive was not given back");
    const bool locked = std::any_of(os.driveEvents.begin(), os.driveEvents.end(),
                                    [](const std::string& e) { return e.rfind("lock ", 0) == 0; });
    problem(locked && !unlockFailed && (os.driveEvents.empty() || os.driveEvents.back().rfind("unlock ", 0) != 0),
            "a command went to the drive after it was given back");
    // A system without the request keeps nobody out: the procedure says so first, and gives back nothing.
    if (c.role.name == "lock" && Expected(c) == End::Done) {
        problem(window.log.empty() || window.log.front() != text::kNotReserved, "no line that nothing was reserved");
        problem(locked || std::any_of(os.driveEvents.begin(), os.driveEvents.end(),
                                      [](const std::string& e) { return e.rfind("unlock ", 0) == 0; }),
                "a drive never held was given back");
    }
    if (!again && !unlockFailed) {
        // Start works again: nothing of the failed run is left holding the window or the drive.
        window.boxes.clear();
        window.decline = false;
        window.power = {};
        os.fault = {};
        form.btnStartClick();
        problem(!window.Last(ui::BoxKind::Succeeded),
                "Start did not flash the second time");
    }
    return run;
}

// --- Linux: the terminal program over the fake system layer

class FaultSystem : public FakeSgSystem {
public:
    Case fault;
    Trace* run = nullptr;
    int pages = 0;
    bool identitySeen = false;
    std::vector<int> heldOpen;  // descriptors the exclusive opens gave

    int Open(const std::string& path, int flags) override {
        if (!(flags & O_EXCL)) return FakeSgSystem::Open(path, flags);
        if (Counted({"open"})) return Fail(fault.error);
        const int fd = FakeSgSystem::Open(path, flags);
        if (fd >= 0) heldOpen.push_back(fd);
        return fd;
    }
    int WriteText(const std::string& path, const std::string& text) override {
        const bool unbind = path.size() > 7 && path.compare(path.size() - 7, 7, "/unbind") == 0;
        if (Counted({unbind ? "unbind" : "bind"})) {
            writes.push_back({path, text, sent.size()});
            return Fail(fault.error);
        }
        return FakeSgSystem::WriteText(path, text);
    }
    bool Counted(const Role& role) {
        run->roles.push_back(role);
        run->pageAttempts += role.name == "page";
        return static_cast<int>(run->roles.size()) == fault.call || run->roles.size() > kMostCalls;
    }
    int Fail(int error) {
        lastError = error;
        return -1;
    }
};

// The built-in image's version and pages.
struct BuiltIn {
    std::string version;
    int pages = 0;
};
const BuiltIn& BuiltInImage() {
    static const BuiltIn facts = [] {
        SKFSParameter parameter;
        uint32_t length = 0;
        const auto image = LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), length, parameter);
        const auto version = GetVersion(image.get(), length);
        return BuiltIn{version ? version.get() : "", static_cast<int>(length >> kPageShift)};
    }();
    return facts;
}

struct TerminalRun {
    Trace run;
    int exitCode = -1;
    std::string out, err;
};

std::string LastLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t at = text.rfind('\n');
    return at == std::string::npos ? text : text.substr(at + 1);
}

TerminalRun RunTerminal(const Case& c) {
    const std::string& version = BuiltInImage().version;
    const int pages = BuiltInImage().pages;
    TempDir dir;
    const std::string device = "sys/devices/pci0000:00/host0/target0:0:0/0:0:0:0";
    dir.Write(device + "/type", "5\n");
    std::filesystem::create_directories(dir.Path() / device / "block/sr0");
    std::filesystem::create_directories(dir.Path() / device / "scsi_generic/sg3");
    std::filesystem::create_directories(dir.Path() / device / "scsi_device/0:0:0:0");
    std::filesystem::create_symlink("../..", dir.Path() / device / "scsi_device/0:0:0:0/device");
    std::filesystem::create_directories(dir.Path() / "sys/class/scsi_device");
    std::filesystem::create_symlink("../../devices/pci0000:00/host0/target0:0:0/0:0:0:0/scsi_device/0:0:0:0",
                                    dir.Path() / "sys/class/scsi_device/0:0:0:0");
    dir.Write("dev/sr0", "");
    dir.Write("dev/sg3", "");
    dir.Write("mounts", "");
    dir.Write("status", "Name:\tupdater\nCapEff:\t000001ffffffffff\n");
    if (c.kind == Kind::LowBattery) {
        dir.Write("sys/class/power_supply/BAT0/type", "Battery\n");
        dir.Write("sys/class/power_supply/BAT0/status", "Discharging\n");
        dir.Write("sys/class/power_supply/BAT0/capacity", "10\n");
    }

    VirtualDriveConfig config = FaultDrive(version, pages);
    VirtualDrive drive(config);
    TerminalRun t;
    FaultSystem sg;
    sg.run = &t.run;
    sg.fault = c;
    sg.pages = pages;
    sg.nodes[dir / "dev/sr0"] = 10;
    sg.exclusiveNodes[dir / "dev/sr0"] = 20;
    sg.exclusiveNodes[dir / "dev/sg3"] = 21;
    sg.answer = [&](int, const sg_io_hdr_t& h) {
        SgAnswer a;
        Trace& run = t.run;
        const uint8_t opcode = h.cmdp[0];
        const Role role = CommandRole(opcode, run.pageAttempts, run.pageAttempts == pages, sg.identitySeen);
        sg.identitySeen |= opcode == kIdentityQueryOpcode;
        const bool hit = sg.Counted(role);
        const bool in = h.dxfer_direction == SG_DXFER_FROM_DEV;
        auto deliver = [&] {
            std::vector<uint8_t> data(h.dxfer_len);
            if (!in && h.dxfer_len) std::memcpy(data.data(), h.dxferp, h.dxfer_len);
            const DriveAnswer d = drive.Execute(h.cmdp, data.data(), h.dxfer_len, in ? kDirIn : kDirOut);
            a.status = d.scsiStatus;
            a.sense.assign(d.sense, d.sense + d.senseLength);
            if (d.senseLength) a.driver = kDriverSense;
            if (in) a.data = data;
        };
        if (!hit) {
            deliver();
            return a;
        }
        switch (c.kind) {
            case Kind::OsError: a.error = static_cast<int>(c.error); break;
            case Kind::Tolerated:  // the kernel need not say that nothing moved
                a.host = kDidTimeOut;
                a.resid = 0;
                break;
            case Kind::HostFailure: a.host = 0x07; break;  // DID_ERROR
            case Kind::CheckCondition:
                a.status = 2;
                a.driver = kDriverSense;
                a.sense.assign(kSense, kSense + sizeof kSense);
                break;
            case Kind::Busy: a.status = 8; break;
            case Kind::Short:
                deliver();
                if (in) a.data.resize(h.dxfer_len / 2);
                a.resid = static_cast<int>(h.dxfer_len - h.dxfer_len / 2);
                break;
            default: ADD_FAILURE() << "no such fault here";
        }
        return a;
    };

    CapturedFile out, err, input;
    UpdaterStreams s = StreamsUnder(dir, sg, out.get(), err.get(), input.get());
    s.sleep = [](uint32_t) {};
    std::vector<std::string> args{"flash"};
    if (c.kind != Kind::Declined) args.push_back("--yes");
    t.exitCode = RunUpdater(args, s);
    t.out = out.Text();
    t.err = err.Text();

    Trace& run = t.run;
    run.succeeded = t.out.find("Yes!: Flash Succeed!") != std::string::npos;
    run.unconfirmedBox = t.out.find(std::string("Caution: ") + "Every page was written") != std::string::npos;
    const size_t failed = t.err.find("updater: Writing page ");
    if (failed != std::string::npos) run.failureBox = t.err.substr(failed + 9);
    run.pagesWhole = drive.PagesWritten() == pages && drive.Mismatches().empty();
    auto problem = [&](bool bad, const std::string& what) {
        if (bad) run.problems.push_back(what);
    };
    for (int fd : sg.heldOpen)
        problem(std::count(sg.closes.begin(), sg.closes.end(), fd) != 1, "descriptor " + std::to_string(fd) + " left open");
    const auto wrote = [&](const char* what) {
        return std::count_if(sg.writes.begin(), sg.writes.end(),
                             [&](const FakeSgSystem::Write& w) { return w.path.find(what) != std::string::npos; });
    };
    // The drive taken from the sr driver is given back to it, once.
    const bool unbound = wrote("/unbind") == 1 && !(c.role.name == "unbind");
    problem(unbound && wrote("/bind") != 1, "the drive was not given back to the sr driver");
    problem(sg.guardedFd != -1, "the signal guard was left on");
    return t;
}

// --- the table

int WholeRunCalls(Path path, std::vector<Role>& roles) {
    Case clean{path, 0, Kind::None, 0, {}};
    roles = path == Path::Linux ? RunTerminal(clean).run.roles : RunWindow(clean, true).roles;
    return static_cast<int>(roles.size());
}

std::vector<Case> Table() {
    std::vector<Case> cases;
    for (Path path : {Path::PassThrough, Path::Aspi, Path::Linux}) {
        std::vector<Role> roles;
        WholeRunCalls(path, roles);
        for (size_t i = 0; i < roles.size(); ++i) {
            const int call = static_cast<int>(i + 1);
            const Role& role = roles[i];
            auto add = [&](Kind kind, uint32_t error = 0) { cases.push_back({path, call, kind, error, role}); };
            if (role.name == "lock" || role.name == "unlock") {
                for (uint32_t e : {1u, 5u, 6u, 22u, 31u, 50u, 87u}) add(Kind::OsError, e);
            } else if (role.name == "open") {
                for (int e : {EBUSY, EACCES, EIO}) add(Kind::OsError, e);
            } else if (role.name == "unbind" || role.name == "bind") {
                for (int e : {EACCES, ENODEV}) add(Kind::OsError, e);
            } else if (path == Path::PassThrough) {
                for (uint32_t e : {5u, 6u, 31u, 1167u}) add(Kind::OsError, e);
                for (uint32_t e : {121u, 1117u}) add(Kind::Tolerated, e);
                for (Kind k : {Kind::CheckCondition, Kind::Busy, Kind::Short}) add(k);
            } else if (path == Path::Aspi) {
                for (Kind k : {Kind::HostFailure, Kind::CheckCondition, Kind::Busy, Kind::TimedOut, Kind::WaitFailed,
                               Kind::NoEvent})
                    add(k);
            } else {
                for (int e : {EIO, ENODEV, EACCES, EPERM, ENOMEM, EINVAL}) add(Kind::OsError, e);
                for (Kind k : {Kind::Tolerated, Kind::HostFailure, Kind::CheckCondition, Kind::Busy, Kind::Short}) add(k);
            }
        }
        for (Kind k : {Kind::LowBattery, Kind::Declined}) cases.push_back({path, 0, k, 0, {"window"}});
    }
    return cases;
}

// What a failed page's box says the path reported.
std::string FailureDetail(const Case& c) {
    const bool aspi = c.path == Path::Aspi;
    // The sense key is the low four bits of its byte.
    const std::string sense = ", sense key 03h, ASC 0Ch, ASCQ 00h";
    switch (c.kind) {
        case Kind::OsError:
            return c.path == Path::Linux ? "Status 0: " + ErrnoText(static_cast<int>(c.error))
                                         : "Status 0, system error " + std::to_string(c.error);
        case Kind::CheckCondition: return (aspi ? "Status 4" : "Status 2") + sense;
        case Kind::Busy: return aspi ? "Status 4: target status 08h" : "Status 8";
        case Kind::Short: return "Status 1, 8192 of 16384 bytes did not move";
        case Kind::HostFailure: return aspi ? "Status 4: host adapter status 11h" : "Status 4: host adapter status 07h";
        case Kind::TimedOut: return "Status 4: the drive did not answer within 30 seconds";
        case Kind::WaitFailed: return "Status 4, system error 6";
        case Kind::NoEvent: return "Status 4, system error 1450";
        default: return "?";
    }
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text = "\n";
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

class EveryFault : public ::testing::TestWithParam<Case> {};

TEST_P(EveryFault, EndsAsTheUserMustBeToldAndLeavesNothingHeld) {
    const Case& c = GetParam();
    const End end = Expected(c);
    TerminalRun t;
    if (c.path == Path::Linux) {
        t = RunTerminal(c);
    } else {
        t.run = RunWindow(c);
    }
    const Trace& run = t.run;
    SCOPED_TRACE(t.out + t.err);
    for (const std::string& p : run.problems) ADD_FAILURE() << p;
    ASSERT_LE(run.roles.size(), static_cast<size_t>(kMostCalls)) << "the run did not end";

    const int pages = c.path == Path::Linux ? BuiltInImage().pages : 4;
    // No page after a failed one, none at all after a refusal.
    const int attempts = end == End::Refused ? 0 : end == End::PageFailed ? c.role.page : pages;
    EXPECT_EQ(run.pageAttempts, attempts);
    // Success only for a drive that holds every page and then reports the image's version.
    EXPECT_EQ(run.succeeded, end == End::Done);
    if (run.succeeded) {
        EXPECT_TRUE(run.pagesWhole);
    }
    // A reservation that failed otherwise than by another holder or a mounted disc says what the system said.
    const bool reserveFailed = (c.role.name == "lock" && (c.error == 6 || c.error == 31)) ||
                               (c.role.name == "open" && c.error != EBUSY);
    if (reserveFailed) {
        const std::string& box = c.path == Path::Linux ? t.err : run.lastBox;
        const size_t at = box.find(text::kNotReservedBefore);
        ASSERT_NE(at, std::string::npos) << box;
        const std::string said = c.path == Path::Linux ? ErrnoText(static_cast<int>(c.error))
                                                       : "(system error " + std::to_string(c.error) + ")";
        EXPECT_NE(box.find(said + text::kNotReservedAfter, at), std::string::npos) << box;
    }
    // A command the kernel did not take: its errno text reaches the terminal, on both streams.
    if (c.path == Path::Linux && c.kind == Kind::OsError && c.role.name != "open" && c.role.name != "discovery" &&
        c.role.name != "unbind" &&
        c.role.name != "bind") {
        EXPECT_NE(t.err.find("updater: " + ErrnoText(static_cast<int>(c.error)) + "\n"), std::string::npos);
        EXPECT_NE(t.out.find("\n" + ErrnoText(static_cast<int>(c.error)) + "\n"), std::string::npos);
    }
    EXPECT_EQ(run.unconfirmedBox, end == End::Unconfirmed);
    // Every page sent has its line, before it goes.
    const std::string& log = c.path == Path::Linux ? t.out : Joined(run.log);
    for (int page = 1; page <= pages; ++page)
        EXPECT_EQ(log.find("Page " + std::to_string(page) + " Checksum : ") != std::string::npos, page <= attempts)
            << page;
    if (c.path != Path::Linux && end != End::Refused) {
        EXPECT_EQ(run.progress, end == End::PageFailed ? c.role.page - 1u : static_cast<uint32_t>(pages));
    }
    // A page counted as written without an answer says so, after its line.
    if (c.role.name == "page" && c.kind == Kind::Tolerated) {
        const std::string counted = "Page " + std::to_string(c.role.page) + " counted as written " +
                                    (c.path == Path::Linux ? "although the drive did not answer within 60 s"
                                                           : "despite transport error " + std::to_string(c.error));
        EXPECT_NE(log.find("Checksum : ", log.find("Page " + std::to_string(c.role.page) + " ")), std::string::npos);
        EXPECT_NE(log.find("\n" + counted + "\n"), std::string::npos) << counted;
    }
    if (end == End::PageFailed) {
        // Which page, and what the path said of it, in its own words.
        const std::string box = "Writing page " + std::to_string(c.role.page) + " of " + std::to_string(pages) +
                                " failed.\n" + FailureDetail(c) + ".\n\n" + text::kRunAgain;
        EXPECT_EQ(run.failureBox, c.path == Path::Linux ? OneLine(box) + "\n" : box);
    }
    if (c.path != Path::Linux) return;
    // The exit status the manual gives, and a last line that says what came of it.
    const int code[] = {kExitDone, kExitRefused, kExitRefused, kExitUnconfirmed};
    EXPECT_EQ(t.exitCode, code[static_cast<int>(end)]);
    switch (end) {
        case End::Done: EXPECT_EQ(LastLine(t.out), "Yes!: Flash Succeed!"); break;
        case End::Unconfirmed:
            EXPECT_EQ(LastLine(t.err).rfind("updater: every page was written, but the drive did not report", 0), 0u);
            break;
        case End::PageFailed: EXPECT_EQ(LastLine(t.err).rfind("updater: Writing page ", 0), 0u); break;
        case End::Refused: EXPECT_EQ(LastLine(t.err).rfind("updater: ", 0), 0u); break;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryFault, ::testing::ValuesIn(Table()), [](const auto& info) {
    const Case& c = info.param;
    std::string name = std::string(kPathNames[static_cast<int>(c.path)]) + "_" + std::to_string(c.call) + "_" +
                       c.role.name + (c.role.page ? std::to_string(c.role.page) : "") + "_" +
                       kKindNames[static_cast<int>(c.kind)] + (c.error ? std::to_string(c.error) : "");
    return name;
});

}  // namespace
