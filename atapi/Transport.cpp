// Sending one command block to the current device.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "TAtapi.h"

namespace {

constexpr uint8_t kInquiryCommand[12] = {0x12, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kCheckCondition = 2;

// Sense bytes are kept only when the drive reported CHECK CONDITION.
void KeepSense(CommandRecord& r, const uint8_t* sense, uint8_t reported, uint8_t most) {
    if (r.scsiStatus != kCheckCondition) return;
    uint8_t n = std::min(reported, most);
    // Some drivers leave the length as it was asked; a valid response code then tells.
    if (n == 0 && (sense[0] & 0x7E) == 0x70) n = std::min<uint8_t>(18, most);
    std::memcpy(r.sense, sense, n);
    r.senseLength = n;
}

}  // namespace

uint8_t TAtapi::Inquiry(uint8_t* buffer) { return SendCommand(kInquiryCommand, buffer, 50, kDirIn); }

uint8_t TAtapi::SendCommand(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t direction) {
    last_ = CommandRecord{};
    std::memcpy(last_.cdb, cdb, 12);
    last_.buffer = buffer;
    last_.length = length;
    last_.direction = direction;
    last_.timeoutSeconds = kCommandTimeoutSeconds;
    last_.status = Path().Send(CurrentHandle, last_);
    return last_.status;
}

ScsiChannel& TAtapi::Path() const {
    if (route_ != nullptr) return *route_;
    if (channel_ != nullptr) return *channel_;
    return const_cast<OsPath&>(ownPath_);
}

ScsiChannel& TAtapi::OwnPath() { return channel_ != nullptr ? *channel_ : ownPath_; }

std::string TAtapi::Describe(const CommandRecord& record) const { return Path().Describe(record); }

uint8_t TAtapi::SendByOs(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t direction) {
    if (IsNt) {
        const uint8_t dataIn = direction == kDirIn    ? kScsiIoctlDataIn
                               : direction == kDirOut ? kScsiIoctlDataOut
                                                      : kScsiIoctlDataUnspecified;
        return SendPassThrough(cdb, buffer, length, dataIn);
    }
    return SendAspi(cdb, buffer, length, direction);
}

const std::vector<ChannelDrive>& TAtapi::OsPath::Drives() {
    drives_.clear();
    for (int32_t i = 0; i < atapi_.DeviceCount && i < kMaxDevices; ++i)
        drives_.push_back({atapi_.names_[i], atapi_.Devices[i].Handle, true, {}});
    return drives_;
}

// The request blocks fill the object's own record; a decorator's record of its own gets a copy.
uint8_t TAtapi::OsPath::Send(OsHandle, CommandRecord& record) {
    CommandRecord& last = atapi_.last_;
    if (&record != &last) last = record;
    last.status = atapi_.SendByOs(last.cdb, last.buffer, last.length, last.direction);
    if (&record != &last) record = last;
    return record.status;
}

std::string TAtapi::OsPath::Describe(const CommandRecord& r) const {
    if (r.outcome == CommandOutcome::CompletedTolerated)
        return "despite transport error " + std::to_string(r.osError);
    std::string detail = "Status " + std::to_string(r.status);
    // The ASPI manager's status alone says only that something failed: what the adapter or target said tells.
    if (r.outcome == CommandOutcome::TimedOut)
        detail += ": the drive did not answer within " + std::to_string(kAspiWaitMilliseconds / 1000) + " seconds";
    else if (r.hostStatus != 0)
        detail += ": host adapter status " + Hex2(r.hostStatus) + "h";
    else if (r.scsiStatus != 0 && r.scsiStatus != r.status && r.scsiStatus != kCheckCondition)
        detail += ": target status " + Hex2(r.scsiStatus) + "h";
    detail += SenseText(r) + ResidualText(r);
    if (r.osError != 0) detail += ", system error " + std::to_string(r.osError);
    return detail;
}

uint8_t TAtapi::SendPassThrough(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t dataIn) {
    const PassThroughLayout& layout = kNativePassThrough;
    uint8_t* block = PassThroughRequest.bytes;
    FillPassThrough(block, layout, cdb, reinterpret_cast<uintptr_t>(buffer), length, dataIn);
    uint32_t returned = 0;
    const bool ok = os_->DeviceIoControl(CurrentHandle, kIoctlScsiPassThroughDirect, block, layout.blockSize,
                                         block, layout.blockSize, &returned);
    const uint32_t error = ok ? 0 : os_->GetLastError();
    // A drive that is reprogramming its flash may stop answering in time:
    // those two errors count as completion.
    if (!ok && error != kErrorSemTimeout && error != kErrorIoDevice) {
        last_.outcome = CommandOutcome::NotDelivered;
        last_.osError = error;
        ShowSystemError(error);
        return 0;
    }
    last_.osError = error;
    last_.scsiStatus = block[2];
    uint32_t moved = length;
    std::memcpy(&moved, block + layout.dataTransferLength, 4);
    last_.residual = moved < length ? length - moved : 0;
    if (block[2] != 0) {
        last_.outcome = CommandOutcome::Failed;
        KeepSense(last_, block + layout.senseOffset, block[7], kPassThroughSenseLength);
        return block[2];
    }
    last_.outcome = ok ? CommandOutcome::Completed : CommandOutcome::CompletedTolerated;
    return 1;
}

uint8_t TAtapi::SendAspi(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t direction) {
    // No manager, or one without its entry points: nothing to send through.
    if (ExecRequest == nullptr || sendCommand_ == nullptr || getSupportInfo_ == nullptr) {
        last_.outcome = CommandOutcome::NotSent;
        return kSsErr;
    }
    const OsHandle event = os_->CreateEvent();
    if (event == 0) {
        last_.outcome = CommandOutcome::NotSent;
        last_.osError = os_->GetLastError();
        return kSsErr;
    }
    SrbExecScsiCmd& srb = *ExecRequest;
    srb = SrbExecScsiCmd{};
    srb.SRB_Cmd = kScExecScsiCmd;
    srb.SRB_HaId = CurrentHaId;
    srb.SRB_Flags = static_cast<uint8_t>(direction | kSrbEventNotify);
    srb.SRB_Target = CurrentTarget;
    srb.SRB_Lun = CurrentLun;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = kAspiSenseLength;
    srb.SRB_CDBLen = 12;
    srb.SRB_PostProc = reinterpret_cast<void*>(event);
    std::memcpy(srb.CDBByte, cdb, 12);

    os_->CallSendASPI32Command(sendCommand_, &srb);
    if (srb.SRB_Status == kSsPending) {
        const uint32_t wait = os_->WaitForSingleObject(event, kAspiWaitMilliseconds);
        if (wait != kWaitObject0) {
            last_.outcome = wait == kWaitTimeout ? CommandOutcome::TimedOut : CommandOutcome::WaitFailed;
            last_.osError = wait == kWaitFailed ? os_->GetLastError() : 0;
            AbortAspiRequest(&srb);
            os_->CloseHandle(event);
            return kSsErr;
        }
    }
    os_->CloseHandle(event);
    last_.srbStatus = srb.SRB_Status;
    last_.hostStatus = srb.SRB_HaStat;
    last_.scsiStatus = srb.SRB_TargStat;
    if (srb.SRB_Status == kSsComp) {
        last_.outcome = CommandOutcome::Completed;
    } else {
        last_.outcome = CommandOutcome::Failed;
        KeepSense(last_, srb.SenseArea, kAspiSenseLength, kAspiSenseLength);
    }
    return srb.SRB_Status;
}

uint32_t TAtapi::AbortAspiRequest(void* request) {
    if (sendCommand_ == nullptr) return 0;
    SrbAbort abort{};
    abort.SRB_Cmd = kScAbortSrb;
    abort.SRB_HaId = CurrentHaId;
    abort.SRB_ToAbort = request;
    return os_->CallSendASPI32Command(sendCommand_, &abort);
}

void TAtapi::ShowSystemError(uint32_t code) {
    if (os_ == nullptr) return;  // a channel tells its failures itself
    std::string text;
    if (os_->FormatMessage(code, text)) {
        os_->MessageBox(text + "\n");  // the whole text, however long
        return;
    }
    char failed[64];
    std::snprintf(failed, sizeof failed, "Format message failed.  Error: %d\n",
                  static_cast<int>(os_->GetLastError()));
    os_->MessageBox(failed);
}
