// Tells whether a drive's device node, or a partition of it, is mounted, so
// that nothing is sent to a drive whose file system is in use.
#pragma once

#include <string>

enum class MountState { NotMounted, Mounted, Unknown };

struct MountCheck {
    MountState state = MountState::NotMounted;
    std::string source, target;  // the mount found (Mounted), escapes decoded
    std::string error;           // why the mount table could not be read (Unknown)
};

// Reads the mount table (the format of /proc/self/mounts) and compares each mount source
// with the node. Block devices are compared by device number, so any name or symlink of the
// same device matches; a partition of the node's device matches too (found through
// <sysfsRoot>/dev/block). A generic SCSI node (/dev/sgN) stands for its block device when
// sysfs names one. Sources that are not device nodes are compared by their resolved paths,
// with a partition written as the node's name plus a number ("p" plus a number when the
// name ends in a digit). An unreadable table gives Unknown: callers should refuse then.
MountCheck CheckMounted(const std::string& node, const std::string& mountsPath = "/proc/self/mounts",
                        const std::string& sysfsRoot = "/sys");
