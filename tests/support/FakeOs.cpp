#include "FakeOs.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "ScsiChannel.h"

namespace {

constexpr OsHandle kAspiModule = 0xA5A0;
constexpr uint8_t kSsNoDevice = 0x82;
uint8_t supportInfoEntry, sendCommandEntry;  // stand-ins for the two entry points' addresses

}  // namespace

FakeOs::FakeOs() {
    errorTexts[5] = "Access is denied.\r\n";
    errorTexts[6] = "The handle is invalid.\r\n";
}

void FakeOs::AddDrive(char letter, VirtualDrive* drive) {
    letters_[letter].type = kDriveCdrom;
    letters_[letter].drive = drive;
}

void FakeOs::SetDriveType(char letter, uint32_t type) { letters_[letter].type = type; }
void FakeOs::FailOpen(char letter) { letters_[letter].opens = false; }
void FakeOs::FailIoctl(int call, uint32_t error, bool deliver) { ioctlFailures_[call] = {error, deliver}; }

void FakeOs::AddAspiDevice(uint8_t ha, uint8_t target, uint8_t lun, VirtualDrive* drive, uint8_t deviceType) {
    aspi_[{ha, target, lun}] = {drive, deviceType};
}

OsHandle FakeOs::LoadLibrary(const std::string& path) {
    libraryLoads.push_back(path);
    if (aspiLibraryPresent) return kAspiModule;
    lastError_ = 126;  // ERROR_MOD_NOT_FOUND
    return 0;
}

void* FakeOs::GetProcAddress(OsHandle module, const char* name) {
    if (module != kAspiModule) return nullptr;
    if (std::strcmp(name, "GetASPI32SupportInfo") == 0 && aspiHasSupportInfo) return &supportInfoEntry;
    if (std::strcmp(name, "SendASPI32Command") == 0 && aspiHasSendCommand) return &sendCommandEntry;
    return nullptr;
}

void FakeOs::FreeLibrary(OsHandle module) {
    if (module == kAspiModule) ++librariesFreed;
}

uint32_t FakeOs::GetDriveType(const std::string& root) {
    driveTypeRoots.push_back(root);
    auto it = letters_.find(root.empty() ? '\0' : root[0]);
    return it == letters_.end() ? 1 : it->second.type;
}

OsHandle FakeOs::CreateFile(const std::string& path) {
    openedPaths.push_back(path);
    const char letter = path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 ? path[4] : '\0';
    auto it = letters_.find(letter);
    if (it == letters_.end() || !it->second.opens || it->second.type != kDriveCdrom) {
        lastError_ = 5;
        return kInvalidHandle;
    }
    const OsHandle h = nextHandle_++;
    handles_[h] = it->second.drive;
    handleLetters_[h] = letter;
    openHandles.insert(h);
    return h;
}

void FakeOs::CloseHandle(OsHandle handle) {
    closedHandles.insert(handle);
    openHandles.erase(handle);
    locks.erase(handle);  // the driver gives the lock back when its handle goes
    if (handle >= 0xE000) ++eventsClosed;
}

OsHandle FakeOs::LockHolder(OsHandle device) const {
    const auto drive = handles_.find(device);
    for (const auto& [handle, name] : locks) {
        const auto held = handles_.find(handle);
        if (drive != handles_.end() && held != handles_.end() && held->second == drive->second) return handle;
    }
    return 0;
}

bool FakeOs::ExclusiveAccess(OsHandle device, void* in, uint32_t inSize, void* out, uint32_t outSize) {
    const std::string h = std::to_string(device);
    if (exclusive == Exclusive::Unknown) {
        lastError_ = unknownRequestError;
        return false;
    }
    CdromExclusiveAccess access{};
    if (in == nullptr || inSize < sizeof access) {
        lastError_ = 24;  // ERROR_BAD_LENGTH
        return false;
    }
    std::memcpy(&access, in, sizeof access);
    const auto letter = handleLetters_.find(device);
    const auto other = letter != handleLetters_.end() ? heldElsewhere.find(letter->second) : heldElsewhere.end();
    const OsHandle holder = LockHolder(device);
    switch (access.RequestType) {
        case kExclusiveAccessLockDevice: {
            CdromExclusiveLock lock{};
            if (inSize != sizeof lock) {
                lastError_ = 24;
                return false;
            }
            std::memcpy(&lock, in, sizeof lock);
            // A zero-terminated name of the characters the driver allows.
            const auto end = std::find(lock.CallerName, lock.CallerName + sizeof lock.CallerName, 0);
            const bool named = end != lock.CallerName + sizeof lock.CallerName &&
                               std::all_of(lock.CallerName, end, [](uint8_t c) {
                                   return std::isalnum(c) || std::strchr(" .,:;-_", c) != nullptr;
                               });
            if (!named) {
                lastError_ = 87;
                return false;
            }
            if (other != heldElsewhere.end() || holder != 0) {
                lastError_ = kErrorAccessDenied;
                return false;
            }
            if (exclusive == Exclusive::DiscMounted) {
                lastError_ = kErrorBadCommand;
                return false;
            }
            locks[device] = reinterpret_cast<const char*>(lock.CallerName);
            driveEvents.push_back("lock " + h + " " + locks[device]);
            return true;
        }
        case kExclusiveAccessUnlockDevice:
            driveEvents.push_back("unlock " + h);
            if (locks.erase(device) == 0) {
                lastError_ = holder != 0 ? 6 : kErrorInvalidFunction;
                return false;
            }
            return true;
        case kExclusiveAccessQueryState: {
            driveEvents.push_back("query " + h);
            CdromExclusiveLockState state{};
            if (out == nullptr || outSize < sizeof state) {
                lastError_ = 122;  // ERROR_INSUFFICIENT_BUFFER
                return false;
            }
            const std::string name = other != heldElsewhere.end() ? other->second : holder ? locks[holder] : "";
            state.LockState = other != heldElsewhere.end() || holder != 0;
            std::memcpy(state.CallerName, name.data(), std::min(name.size(), sizeof state.CallerName - 1));
            std::memcpy(out, &state, sizeof state);
            return true;
        }
        default:
            lastError_ = 87;
            return false;
    }
}

bool FakeOs::DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                             uint32_t* returned) {
    if (returned) *returned = 0;
    if (code == kIoctlCdromExclusiveAccess) return ExclusiveAccess(device, in, inSize, out, outSize);
    const int call = ++ioctlCalls_;
    const PassThroughLayout& layout = kNativePassThrough;
    auto* block = static_cast<uint8_t*>(in);
    ioctlHandles.push_back(device);
    passThroughBlocks.emplace_back(block, block + std::min(inSize, layout.blockSize));
    if (returned) *returned = 0;
    if (code != kIoctlScsiPassThroughDirect || in != out || inSize != layout.blockSize || outSize != inSize) {
        lastError_ = 87;  // ERROR_INVALID_PARAMETER
        return false;
    }
    const auto failure = ioctlFailures_.find(call);
    if (failure != ioctlFailures_.end() && !failure->second.second) {
        lastError_ = failure->second.first;
        return false;
    }
    const auto drive = handles_.find(device);
    if (drive == handles_.end() || drive->second == nullptr) {
        lastError_ = 6;  // ERROR_INVALID_HANDLE
        return false;
    }
    const OsHandle holder = LockHolder(device);
    const std::string event = std::to_string(device) + " " + Hex2(block[layout.cdb]);
    if (holder != 0 && holder != device) {
        driveEvents.push_back("denied " + event);
        lastError_ = kErrorAccessDenied;
        return false;
    }
    driveEvents.push_back("command " + event);
    uint32_t length;
    std::memcpy(&length, block + layout.dataTransferLength, 4);
    uintptr_t address = 0;
    std::memcpy(&address, block + layout.dataBuffer, sizeof address);
    const uint8_t dataIn = block[8];
    const uint8_t direction = dataIn == kScsiIoctlDataIn ? 8 : dataIn == kScsiIoctlDataOut ? 16 : 0;
    const DriveAnswer answer =
        drive->second->Execute(block + layout.cdb, reinterpret_cast<uint8_t*>(address), length, direction);
    if (answer.transport == DriveAnswer::Transport::NeverCompletes) {
        lastError_ = kErrorSemTimeout;  // the driver's own time-out
        return false;
    }
    block[2] = answer.scsiStatus;
    const uint8_t sense = std::min<uint8_t>(answer.senseLength, block[7]);
    std::memcpy(block + layout.senseOffset, answer.sense, sense);
    block[7] = senseLengthLeftZero ? 0 : sense;
    if (returned) *returned = layout.blockSize;
    if (failure != ioctlFailures_.end()) {
        lastError_ = failure->second.first;
        return false;
    }
    return true;
}

bool FakeOs::FormatMessage(uint32_t code, std::string& text) {
    if (formatMessageFails) {
        lastError_ = formatMessageError;
        return false;
    }
    auto it = errorTexts.find(code);
    text = it != errorTexts.end() ? it->second : "System error " + std::to_string(code) + ".\r\n";
    return true;
}

OsHandle FakeOs::CreateEvent() {
    if (failCreateEvent) {
        lastError_ = 1450;  // ERROR_NO_SYSTEM_RESOURCES
        return 0;
    }
    ++eventsCreated;
    return 0xE000 + static_cast<OsHandle>(eventsCreated);
}

uint32_t FakeOs::WaitForSingleObject(OsHandle, uint32_t milliseconds) {
    waits.push_back(milliseconds);
    if (aspiAnswer == AspiAnswer::WaitFails) {
        lastError_ = 6;
        return kWaitFailed;
    }
    if (pending_ && aspiAnswer == AspiAnswer::PendingThenSignalled) RunExec(pending_);
    if (pending_ && pending_->SRB_Status != kSsPending) {
        pending_ = nullptr;
        return kWaitObject0;
    }
    return kWaitTimeout;  // at once: no test waits the real 30 seconds
}

bool FakeOs::PumpMessage() {
    ++pumpedMessages;
    if (pendingGdev_ && (pendingByTime_ ? static_cast<int32_t>(clock_ - answerAt_) >= 0
                                        : pendingPolls_ > 0 && --pendingPolls_ == 0)) {
        auto it = aspi_.find({pendingGdev_->SRB_HaId, pendingGdev_->SRB_Target, pendingGdev_->SRB_Lun});
        pendingGdev_->SRB_Status = it != aspi_.end() ? kSsComp : kSsNoDevice;
        if (it != aspi_.end()) pendingGdev_->SRB_DeviceType = it->second.second;
        pendingGdev_ = nullptr;
    }
    return true;
}

uint32_t FakeOs::CallGetASPI32SupportInfo(void* entry) {
    if (entry != &supportInfoEntry) return 0;
    ++supportInfoCalls;
    return (uint32_t{kSsComp} << 8) | hostAdapters;
}

void FakeOs::RunExec(SrbExecScsiCmd* srb) {
    auto it = aspi_.find({srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun});
    if (it == aspi_.end() || it->second.first == nullptr) {
        srb->SRB_Status = kSsNoDevice;
        return;
    }
    const DriveAnswer answer =
        it->second.first->Execute(srb->CDBByte, srb->SRB_BufPointer, srb->SRB_BufLen, srb->SRB_Flags & 0x18);
    if (answer.transport == DriveAnswer::Transport::NeverCompletes) return;  // stays pending
    srb->SRB_TargStat = answer.scsiStatus;
    if (answer.scsiStatus == 0) {
        srb->SRB_Status = kSsComp;
        return;
    }
    srb->SRB_Status = kSsErr;
    std::memcpy(srb->SenseArea, answer.sense, std::min<size_t>(answer.senseLength, srb->SRB_SenseLen));
}

uint32_t FakeOs::CallSendASPI32Command(void* entry, void* request) {
    if (entry != &sendCommandEntry) return 0;
    auto* header = static_cast<SrbHeader*>(request);
    switch (header->SRB_Cmd) {
        case kScGetDevType: {
            auto* gdev = static_cast<SrbGDevBlock*>(request);
            gdevRequests.push_back(*gdev);
            const std::tuple<uint8_t, uint8_t, uint8_t> address{gdev->SRB_HaId, gdev->SRB_Target, gdev->SRB_Lun};
            if (auto slow = gdevPendingPolls.find(address); slow != gdevPendingPolls.end()) {
                gdev->SRB_Status = kSsPending;
                pendingGdev_ = gdev;
                pendingPolls_ = slow->second;
                pendingByTime_ = false;
                return kSsPending;
            }
            if (auto late = gdevAnswerAfterMs.find(address); late != gdevAnswerAfterMs.end()) {
                gdev->SRB_Status = kSsPending;
                pendingGdev_ = gdev;
                pendingByTime_ = true;
                answerAt_ = clock_ + late->second;
                return kSsPending;
            }
            auto it = aspi_.find(address);
            gdev->SRB_Status = it != aspi_.end() ? kSsComp : kSsNoDevice;
            if (it != aspi_.end()) gdev->SRB_DeviceType = it->second.second;
            return gdev->SRB_Status;
        }
        case kScExecScsiCmd: {
            auto* srb = static_cast<SrbExecScsiCmd*>(request);
            execRequests.push_back(*srb);
            pending_ = srb;
            if (aspiAnswer == AspiAnswer::Immediate) RunExec(srb);
            return srb->SRB_Status;
        }
        case kScAbortSrb:
            abortRequests.push_back(*static_cast<SrbAbort*>(request));
            header->SRB_Status = kSsComp;
            return kSsComp;
        default:
            return 0x80;  // SS_INVALID_CMD
    }
}
