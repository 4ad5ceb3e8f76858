#include "VirtualChannel.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr OsHandle kFirstHandle = 0x100;  // 0 is the table's "no drive"

}  // namespace

void VirtualChannel::AddDrive(VirtualDrive& drive) {
    drives_.push_back(&drive);
    list_.push_back({"virtual drive " + std::to_string(drives_.size()),
                     kFirstHandle + static_cast<OsHandle>(drives_.size() - 1), true, {}});
}

uint8_t VirtualChannel::Send(OsHandle drive, CommandRecord& r) {
    auto finish = [&r](uint8_t status, CommandOutcome outcome) {
        r.status = status;
        r.outcome = outcome;
        return status;
    };
    if (drive < kFirstHandle || drive - kFirstHandle >= drives_.size()) return finish(0, CommandOutcome::NotSent);
    const bool moves = r.direction == kDirIn || r.direction == kDirOut;
    const DriveAnswer answer =
        drives_[drive - kFirstHandle]->Execute(r.cdb, r.buffer, moves ? r.length : 0, moves ? r.direction : 0);
    if (answer.transport == DriveAnswer::Transport::NeverCompletes) return finish(4, CommandOutcome::TimedOut);
    r.scsiStatus = answer.scsiStatus;
    r.senseLength = std::min<uint8_t>(answer.senseLength, sizeof r.sense);
    std::memcpy(r.sense, answer.sense, r.senseLength);
    if (answer.scsiStatus == 0) return finish(1, CommandOutcome::Completed);
    return finish(answer.scsiStatus == 1 ? 4 : answer.scsiStatus, CommandOutcome::Failed);
}

std::string VirtualChannel::Describe(const CommandRecord& r) const {
    std::string detail = "Status " + std::to_string(r.status);
    if (r.outcome == CommandOutcome::NotSent) detail += ": no such virtual drive";
    if (r.outcome == CommandOutcome::TimedOut) detail += ": the virtual drive never answered";
    return detail + SenseText(r);
}
