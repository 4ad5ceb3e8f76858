#include "LinuxOsApi.h"

#include <cerrno>

#include "ScsiBlocks.h"
#include "TAtapi.h"
#include "VirtualOsApi.h"

namespace {

constexpr OsHandle kFirstHandle = 0x100;

// errno values that the drive-access code would take for the two tolerated Windows errors.
uint32_t OsError(int error) {
    if (error <= 0) return EIO;
    const auto code = static_cast<uint32_t>(error);
    return code == kErrorSemTimeout || code == kErrorIoDevice ? EIO : code;
}

}  // namespace

LinuxOsApi::LinuxOsApi(SgTransport& transport, const std::vector<SgDrive>& drives)
    : transport_(transport), drives_(drives) {}

const SgDrive* LinuxOsApi::DriveAt(const std::string& devicePath) const {
    for (const SgDrive& drive : drives_)
        if (drive.node == devicePath) return &drive;
    return nullptr;
}

bool LinuxOsApi::ListDrivePaths(std::vector<std::string>& paths) {
    paths.clear();
    for (const SgDrive& drive : drives_) paths.push_back(drive.node);
    return true;
}

// No drive stands on a letter.
uint32_t LinuxOsApi::GetDriveType(const std::string&) { return kDriveNoRootDir; }

OsHandle LinuxOsApi::CreateFile(const std::string& path) {
    const SgDrive* drive = DriveAt(path);
    if (drive == nullptr || drive->fd < 0) {
        lastError_ = drive == nullptr ? ENOENT : EACCES;
        return kInvalidHandle;
    }
    return kFirstHandle + static_cast<OsHandle>(drive - drives_.data());
}

bool LinuxOsApi::DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                                 uint32_t outSize, uint32_t* returned) {
    if (device < kFirstHandle || device - kFirstHandle >= drives_.size() ||
        drives_[device - kFirstHandle].fd < 0) {
        lastError_ = EBADF;
        return false;
    }
    PassThroughRequestView view;
    if (code != kIoctlScsiPassThroughDirect || in != out || outSize < inSize ||
        !DecodePassThrough(static_cast<uint8_t*>(in), inSize, view)) {
        lastError_ = EINVAL;
        return false;
    }
    uint8_t* block = static_cast<uint8_t*>(in);
    const uint8_t status = transport_.SendCommand(drives_[device - kFirstHandle].fd, view.cdb, view.buffer,
                                                  view.length, view.direction);
    const CommandRecord& record = transport_.LastCommand();
    if (returned) *returned = inSize;
    if (status == 1) {
        AnswerPassThrough(block, 0, nullptr, 0);
        return true;
    }
    // The drive answered with a status of its own: it travels in the block, with its sense.
    if (record.outcome == CommandOutcome::Failed && record.scsiStatus != 0) {
        AnswerPassThrough(block, record.scsiStatus, record.sense, record.senseLength);
        return true;
    }
    lastError_ = record.outcome == CommandOutcome::TimedOut ? kSgTimedOutError : OsError(int(record.osError));
    return false;
}

bool LinuxOsApi::FormatMessage(uint32_t code, std::string& text) {
    text = ErrnoText(static_cast<int>(code));
    return true;
}

