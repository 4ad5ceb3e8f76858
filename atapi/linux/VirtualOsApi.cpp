#include "VirtualOsApi.h"

#include <algorithm>
#include <cstring>

#include "ScsiBlocks.h"
#include "TAtapi.h"

namespace {

constexpr uint32_t kErrorFileNotFound = 2;   // ERROR_FILE_NOT_FOUND
constexpr uint32_t kErrorInvalidHandle = 6;  // ERROR_INVALID_HANDLE
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr OsHandle kFirstHandle = 0x100;

uint64_t Get(const uint8_t* block, uint32_t at, uint32_t width) {
    uint64_t value = 0;
    for (uint32_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(block[at + i]) << (8 * i);
    return value;
}

}  // namespace

bool DecodePassThrough(uint8_t* block, uint32_t size, PassThroughRequestView& view) {
    const PassThroughLayout& layout = kNativePassThrough;
    if (block == nullptr || size < layout.blockSize || block[6] != 12) return false;
    view.cdb = block + layout.cdb;
    view.length = static_cast<uint32_t>(Get(block, layout.dataTransferLength, 4));
    view.buffer = reinterpret_cast<uint8_t*>(
        static_cast<uintptr_t>(Get(block, layout.dataBuffer, layout.dataBufferSize)));
    view.direction = block[8] == kScsiIoctlDataIn ? kDirIn : block[8] == kScsiIoctlDataOut ? kDirOut : 0;
    if (view.direction == 0) view.length = 0;
    return true;
}

void AnswerPassThrough(uint8_t* block, uint8_t scsiStatus, const uint8_t* sense, uint8_t senseLength) {
    const PassThroughLayout& layout = kNativePassThrough;
    block[2] = scsiStatus;
    const uint8_t n = std::min(senseLength, block[7]);
    std::memset(block + layout.senseOffset, 0, block[7]);
    if (n > 0) std::memcpy(block + layout.senseOffset, sense, n);
    block[7] = n;
}

void VirtualOsApi::AddDrive(VirtualDrive& drive) {
    if (drives_.size() < 22) drives_.push_back(&drive);
}

int VirtualOsApi::DriveIndex(const std::string& root) const {
    if (root.size() < 2 || root[1] != ':') return -1;
    const int index = root[0] - 'D';
    return index >= 0 && index < static_cast<int>(drives_.size()) ? index : -1;
}

uint32_t VirtualOsApi::GetDriveType(const std::string& root) {
    return DriveIndex(root) >= 0 ? kDriveCdrom : kDriveNoRootDir;
}

OsHandle VirtualOsApi::CreateFile(const std::string& path) {
    const std::string prefix = "\\\\.\\";
    const int index = path.rfind(prefix, 0) == 0 ? DriveIndex(path.substr(prefix.size())) : -1;
    if (index < 0) {
        lastError_ = kErrorFileNotFound;
        return kInvalidHandle;
    }
    return kFirstHandle + static_cast<OsHandle>(index);
}

bool VirtualOsApi::DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                                   uint32_t outSize, uint32_t* returned) {
    if (device < kFirstHandle || device - kFirstHandle >= drives_.size()) {
        lastError_ = kErrorInvalidHandle;
        return false;
    }
    PassThroughRequestView view;
    if (code != kIoctlScsiPassThroughDirect || in != out || outSize < inSize ||
        !DecodePassThrough(static_cast<uint8_t*>(in), inSize, view)) {
        lastError_ = kErrorInvalidParameter;
        return false;
    }
    uint8_t* block = static_cast<uint8_t*>(in);
    const DriveAnswer answer =
        drives_[device - kFirstHandle]->Execute(view.cdb, view.buffer, view.length, view.direction);
    if (answer.transport == DriveAnswer::Transport::NeverCompletes) {
        // What the driver reports when its time-out runs out.
        lastError_ = kErrorSemTimeout;
        return false;
    }
    AnswerPassThrough(block, answer.scsiStatus, answer.sense, answer.senseLength);
    if (returned) *returned = inSize;
    return true;
}

bool VirtualOsApi::FormatMessage(uint32_t code, std::string& text) {
    text = "System error " + std::to_string(code);
    return true;
}

