#include "MountCheck.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// How a name is compared: its block device number when it has one, its resolved path otherwise.
struct Identity {
    std::optional<dev_t> block;
    std::string path;
};

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string Numbers(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::optional<dev_t> ParseNumbers(const std::string& text) {
    unsigned majorNumber = 0, minorNumber = 0;
    char colon = 0;
    std::istringstream in(text);
    if (!(in >> majorNumber >> colon >> minorNumber) || colon != ':') return std::nullopt;
    return makedev(majorNumber, minorNumber);
}

std::string Resolved(const std::string& path) {
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    return error ? fs::path(path).lexically_normal().string() : resolved.string();
}

Identity IdentityOf(const std::string& path, const fs::path& sysfs) {
    Identity id;
    id.path = Resolved(path);
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return id;
    if (S_ISBLK(info.st_mode)) {
        id.block = info.st_rdev;
    } else if (S_ISCHR(info.st_mode)) {
        // A generic SCSI node: its block device, when it has one, is what gets mounted.
        std::error_code error;
        const fs::path blocks = sysfs / "dev" / "char" / Numbers(info.st_rdev) / "device" / "block";
        for (const auto& entry : fs::directory_iterator(blocks, error)) {
            id.block = ParseNumbers(ReadLine(entry.path() / "dev"));
            break;
        }
    }
    return id;
}

// The whole device a partition belongs to, from sysfs: the partition's folder has a
// "partition" file and sits inside the folder of its disk.
std::optional<dev_t> DiskOf(dev_t partition, const fs::path& sysfs) {
    std::error_code error;
    const fs::path folder = fs::canonical(sysfs / "dev" / "block" / Numbers(partition), error);
    if (error || !fs::exists(folder / "partition", error)) return std::nullopt;
    return ParseNumbers(ReadLine(folder.parent_path() / "dev"));
}

// "sda" has the partitions "sda1", "sda2"...; a name that ends in a digit puts a "p" between
// ("nvme0n1p1", "sr1p1"), so "sr10" is another drive, not a partition of "sr1".
bool IsPartitionName(const std::string& disk, const std::string& candidate) {
    if (disk.empty() || candidate.size() <= disk.size() || candidate.compare(0, disk.size(), disk) != 0)
        return false;
    size_t at = disk.size();
    if (std::isdigit(static_cast<unsigned char>(disk.back()))) {
        if (candidate[at] != 'p') return false;
        ++at;
    }
    if (at == candidate.size()) return false;
    for (; at < candidate.size(); ++at)
        if (!std::isdigit(static_cast<unsigned char>(candidate[at]))) return false;
    return true;
}

// The mount table writes space, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

bool Matches(const Identity& node, const std::string& source, const fs::path& sysfs) {
    const Identity other = IdentityOf(source, sysfs);
    if (node.block && other.block) {
        if (*node.block == *other.block) return true;
        const auto disk = DiskOf(*other.block, sysfs);
        return disk && *disk == *node.block;
    }
    return node.path == other.path || IsPartitionName(node.path, other.path);
}

}  // namespace

MountCheck CheckMounted(const std::string& node, const std::string& mountsPath,
                        const std::string& sysfsRoot) {
    MountCheck result;
    std::ifstream mounts(mountsPath);
    if (!mounts) {
        result.state = MountState::Unknown;
        result.error = mountsPath + ": " + std::strerror(errno);
        return result;
    }
    const fs::path sysfs(sysfsRoot);
    const Identity id = IdentityOf(node, sysfs);
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source, target;
        if (!(fields >> source >> target)) continue;
        source = Unescape(source);
        if (source.empty() || source[0] != '/') continue;  // proc, tmpfs, overlay and the like
        if (Matches(id, source, sysfs)) {
            result.state = MountState::Mounted;
            result.source = source;
            result.target = Unescape(target);
            return result;
        }
    }
    return result;
}
