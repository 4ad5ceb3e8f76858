#include "SgDiscovery.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace fs = std::filesystem;

namespace {

constexpr int kOpticalType = 5;

struct Address {
    std::array<unsigned, 4> hctl;
    fs::path folder;
};

// "H:C:T:L" as four decimal numbers, nothing else.
bool ParseAddress(const std::string& name, std::array<unsigned, 4>& hctl) {
    const char* at = name.data();
    const char* end = at + name.size();
    for (size_t i = 0; i < hctl.size(); ++i) {
        auto [next, error] = std::from_chars(at, end, hctl[i]);
        if (error != std::errc() || next == at) return false;
        at = next;
        if (i + 1 < hctl.size()) {
            if (at == end || *at != ':') return false;
            ++at;
        }
    }
    return at == end;
}

bool IsOptical(const fs::path& device) {
    std::ifstream file(device / "type");
    int type = -1;
    return (file >> type) && type == kOpticalType;
}

// The first name, in sorted order, of the entries of a folder, or of the entries named
// prefix:<name> in the device folder itself.
std::string FirstName(const fs::path& device, const std::string& kind) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(device / kind, error))
        names.push_back(entry.path().filename());
    if (names.empty()) {
        const std::string prefix = kind + ":";
        for (const auto& entry : fs::directory_iterator(device, error)) {
            const std::string name = entry.path().filename();
            if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
                names.push_back(name.substr(prefix.size()));
        }
    }
    if (names.empty()) return {};
    return *std::min_element(names.begin(), names.end());
}

}  // namespace

std::string SgDeviceNode(const std::string& deviceFolder, const std::string& devRoot) {
    for (const char* kind : {"block", "scsi_generic"}) {
        const std::string name = FirstName(deviceFolder, kind);
        if (!name.empty()) return devRoot + "/" + name;
    }
    return {};
}

std::string SgGenericNode(const std::string& deviceFolder, const std::string& devRoot) {
    const std::string name = FirstName(deviceFolder, "scsi_generic");
    return name.empty() ? std::string() : devRoot + "/" + name;
}

namespace {

// The optical drives sysfs lists, ordered by H, C, T, L as numbers.
std::vector<Address> OpticalDrives(const std::string& sysfsRoot) {
    std::vector<Address> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(sysfsRoot) / "class" / "scsi_device", error)) {
        Address address;
        if (!ParseAddress(entry.path().filename(), address.hctl)) continue;
        address.folder = entry.path() / "device";
        if (IsOptical(address.folder)) found.push_back(std::move(address));
    }
    std::sort(found.begin(), found.end(), [](const Address& a, const Address& b) { return a.hctl < b.hctl; });
    return found;
}

// How long the block node is waited for once the drive is given back, asked this often.
constexpr int kNodeWaitMs = 2000, kNodePollMs = 50;

}  // namespace

std::vector<std::string> SgGiveBackLeftDrives(SgSystem& system, const std::string& sysfsRoot,
                                              const std::string& devRoot) {
    std::vector<std::string> told;
    const fs::path sr = fs::path(sysfsRoot) / "bus" / "scsi" / "drivers" / "sr";
    std::error_code error;
    if (!fs::is_directory(sr, error)) return told;  // no sr driver: nothing was taken from it
    for (const Address& address : OpticalDrives(sysfsRoot)) {
        if (fs::symlink_status(address.folder / "driver", error).type() != fs::file_type::not_found) continue;
        const std::string generic = SgGenericNode(address.folder, devRoot);
        if (generic.empty()) continue;
        // Open exclusively: no other program (another updater that holds the drive) has it open,
        // and none opens it until the drive is given back.
        const int fd = system.Open(generic, O_RDWR | O_EXCL | O_NONBLOCK);
        if (fd < 0) continue;
        const auto& a = address.hctl;
        const std::string device = SgScsiAddress(a[0], a[1], a[2], a[3]);
        const std::string drive = generic + " (SCSI device " + device + ")";
        const bool given = system.WriteText((sr / "bind").string(), device) == 0;
        const int bindError = system.Errno();
        system.Close(fd);
        if (!given) {
            told.push_back(drive + " has no block node: an updater that was ended without giving the drive back "
                                   "left it taken from the sr driver, and it could not be given back (" +
                           ErrnoText(bindError) + "); restart the computer to get the block node again");
            continue;
        }
        std::string node;
        for (int waited = 0;; waited += kNodePollMs) {
            const std::string made = SgDeviceNode(address.folder, devRoot);
            if (made != generic && fs::exists(made, error)) node = made;
            if (!node.empty() || waited >= kNodeWaitMs) break;
            system.Sleep(kNodePollMs);
        }
        told.push_back(drive + " had been left without its block node by an updater that was ended without "
                               "giving the drive back; it is given back to the sr driver" +
                       (node.empty() ? std::string(", but no block node has appeared yet") : " as " + node));
    }
    return told;
}

SgDriveList::SgDriveList(SgTransport& transport, const std::string& sysfsRoot, const std::string& devRoot)
    : transport_(transport) {
    const std::vector<Address> found = OpticalDrives(sysfsRoot);

    SgSystem& system = transport_.System();
    int opened = 0;  // a drive that does not open takes no entry of the table
    for (const Address& address : found) {
        SgDrive drive;
        std::tie(drive.host, drive.channel, drive.target, drive.lun) =
            std::tuple(address.hctl[0], address.hctl[1], address.hctl[2], address.hctl[3]);
        drive.node = SgDeviceNode(address.folder, devRoot);
        drive.genericNode = SgGenericNode(address.folder, devRoot);
        if (opened == kSgMaxDrives) {
            drive.tableFull = true;
            drive.reason = "the device table is full";
        } else if (drive.node.empty()) {
            drive.reason = "no device node (neither the sr nor the sg driver has claimed it)";
        } else {
            drive.fd = system.Open(drive.node, O_RDWR | O_NONBLOCK);
            if (drive.fd < 0) {
                drive.fd = -1;
                drive.openError = system.Errno();
                drive.reason = ErrnoText(drive.openError);
            }
        }
        if (drive.fd >= 0) ++opened;
        drives_.push_back(std::move(drive));
    }
}

SgDriveList::~SgDriveList() {
    for (const SgDrive& drive : drives_)
        if (drive.fd >= 0) transport_.System().Close(drive.fd);
}
