#include "SgChannel.h"

#include <cerrno>

namespace {

constexpr OsHandle kFirstHandle = 0x100;  // 0 is the table's "no drive"

}  // namespace

SgChannel::SgChannel(SgTransport& transport, const std::vector<SgDrive>& drives,
                     std::function<void(const std::string&)> showSystemError)
    : transport_(transport), drives_(drives), showSystemError_(std::move(showSystemError)) {
    for (size_t i = 0; i < drives_.size(); ++i) {
        const SgDrive& d = drives_[i];
        list_.push_back({d.node, kFirstHandle + static_cast<OsHandle>(i), d.fd >= 0, d.reason});
    }
}

const SgDrive* SgChannel::DriveOf(OsHandle handle) const {
    if (handle < kFirstHandle || handle - kFirstHandle >= drives_.size()) return nullptr;
    return &drives_[handle - kFirstHandle];
}

uint8_t SgChannel::Send(OsHandle drive, CommandRecord& record) {
    const SgDrive* d = DriveOf(drive);
    transport_.Send(d != nullptr ? d->fd : -1, record);
    if (record.outcome == CommandOutcome::TimedOut) {
        record.outcome = CommandOutcome::CompletedTolerated;
        record.status = 1;
    }
    if ((record.outcome == CommandOutcome::NotSent || record.outcome == CommandOutcome::NotDelivered) &&
        showSystemError_)
        showSystemError_(ErrnoText(static_cast<int>(record.osError)) + "\n");
    return record.status;
}

std::string SgChannel::Describe(const CommandRecord& r) const {
    const std::string timeOut = "the drive did not answer within " + std::to_string(r.timeoutSeconds) + " s";
    if (r.outcome == CommandOutcome::CompletedTolerated) return "although " + timeOut;
    std::string detail = "Status " + std::to_string(r.status);
    if (r.outcome == CommandOutcome::NotSent || r.outcome == CommandOutcome::NotDelivered) {
        detail += ": " + ErrnoText(static_cast<int>(r.osError));
    } else if (r.outcome == CommandOutcome::TimedOut) {
        detail += ": " + timeOut;
    } else if (r.hostStatus != 0) {
        detail += ": host adapter status " + Hex2(r.hostStatus) + "h";
    } else if ((r.driverStatus & ~kDriverSense) != 0) {
        detail += ": driver status " + Hex2(r.driverStatus) + "h";
    }
    return detail + SenseText(r);
}
