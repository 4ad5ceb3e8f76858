#include "SgChannel.h"

#include <fcntl.h>

#include <cerrno>
#include <filesystem>

namespace {

constexpr OsHandle kFirstHandle = 0x100;  // 0 is the table's "no drive"
// How long a program that has the block node open is given to close it, asked this often.
constexpr int kHolderWaitMs = 2000, kHolderPollMs = 100;

}  // namespace

SgChannel::SgChannel(SgTransport& transport, const std::vector<SgDrive>& drives,
                     std::function<void(const std::string&)> showSystemError, const std::string& sysfsRoot)
    : transport_(transport), drives_(drives), holds_(drives.size()), showSystemError_(std::move(showSystemError)),
      srDriver_(sysfsRoot + "/bus/scsi/drivers/sr") {
    for (size_t i = 0; i < drives_.size(); ++i) {
        const SgDrive& d = drives_[i];
        list_.push_back({d.node, kFirstHandle + static_cast<OsHandle>(i), d.fd >= 0, d.reason});
    }
}

const SgDrive* SgChannel::DriveOf(OsHandle handle) const {
    if (handle < kFirstHandle || handle - kFirstHandle >= drives_.size()) return nullptr;
    return &drives_[handle - kFirstHandle];
}

SgChannel::~SgChannel() {
    for (Hold& hold : holds_) Close(hold);
}

uint8_t SgChannel::Send(OsHandle drive, CommandRecord& record) {
    const SgDrive* d = DriveOf(drive);
    int fd = d != nullptr ? d->fd : -1;
    if (d != nullptr) {
        const Hold& hold = holds_[drive - kFirstHandle];
        if (hold.generic >= 0) fd = hold.generic;
    }
    transport_.Send(fd, record);
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
    return detail + SenseText(r) + ResidualText(r);
}

Reservation SgChannel::Reserve(OsHandle drive) {
    const SgDrive* d = DriveOf(drive);
    if (d == nullptr || d->fd < 0) return {Reservation::Outcome::Failed, {}, "the drive is not open"};
    Hold& hold = holds_[drive - kFirstHandle];
    if (hold.held) return {Reservation::Outcome::Held, {}, {}};
    SgSystem& system = transport_.System();
    const auto refused = [](int error) {
        return Reservation{error == EBUSY ? Reservation::Outcome::HeldElsewhere : Reservation::Outcome::Failed, {},
                           ErrnoText(error)};
    };
    // A program that has the node open keeps reaching the drive through that descriptor. One that
    // is just closing it is waited for, a while; one that keeps it is named.
    const auto keptBy = [&](int fd) {
        std::vector<std::string> holders = system.OtherHolders(fd);
        for (int waited = 0; !holders.empty() && waited < kHolderWaitMs; waited += kHolderPollMs) {
            system.Sleep(kHolderPollMs);
            holders = system.OtherHolders(fd);
        }
        std::string names;
        for (const std::string& holder : holders) names += (names.empty() ? "" : "; ") + holder;
        return names;
    };
    // The sr driver lets any program open the block node plainly and send commands through it:
    // without the sg driver there is no other way to the drive, so none to keep it.
    if (d->genericNode.empty())
        return {Reservation::Outcome::Failed, {},
                "it has no generic node (/dev/sg*), the only way to keep it from other programs; load the sg "
                "driver (modprobe sg) and start again"};
    constexpr int kExclusive = O_RDWR | O_EXCL | O_NONBLOCK;
    if (d->genericNode == d->node) {
        // Reached by its generic node alone: the sg driver opens it exclusively only while no other
        // descriptor is open on it, the list's own included. That one is closed for the exclusive
        // open and stands for it afterwards, until the list closes it at the end of the run.
        const std::string holders = keptBy(d->fd);
        if (!holders.empty()) return {Reservation::Outcome::HeldElsewhere, holders, {}};
        system.Close(d->fd);
        const int exclusive = system.Open(d->node, kExclusive);
        const int error = system.Errno();
        // Refused, the list gets its plain descriptor back; should even that fail, its number
        // stays closed and nothing is sent through it.
        const int reopened = exclusive >= 0 ? exclusive : system.Open(d->node, O_RDWR | O_NONBLOCK);
        if (reopened >= 0 && reopened != d->fd) {
            system.Dup2(reopened, d->fd);
            system.Close(reopened);
        }
        if (exclusive < 0) return refused(error);
        hold.held = true;
        return {Reservation::Outcome::Held, {}, {}};
    }
    Hold taken;
    taken.node = system.Open(d->node, kExclusive);
    if (taken.node < 0) return refused(system.Errno());
    taken.generic = system.Open(d->genericNode, kExclusive);
    if (taken.generic < 0) {
        const Reservation refusal = refused(system.Errno());
        Close(taken);
        return refusal;
    }
    hold = taken;
    hold.held = true;
    // The sr driver cannot take the drive back until every descriptor of the block node is
    // closed; asked again once the node is gone, for a program that opened it just before.
    std::string holders = keptBy(taken.node);
    if (!holders.empty()) {
        Close(hold);
        return {Reservation::Outcome::HeldElsewhere, holders, {}};
    }
    const std::string device = SgScsiAddress(d->host, d->channel, d->target, d->lun);
    // Guarded before the drive is taken, so that no signal falls between the two.
    system.Guard(taken.node, srDriver_ + "/bind", device);
    if (system.WriteText(srDriver_ + "/unbind", device) != 0) {
        const std::string why = ErrnoText(system.Errno());
        system.Unguard();
        Close(hold);
        return {Reservation::Outcome::Failed, {}, "it could not be taken from the sr driver (" + why + ")"};
    }
    hold.unbound = device;
    // The list's own descriptor of the block node, which it closes only when it goes, would keep
    // the sr driver from taking the drive back: from now on it stands for the generic node.
    system.Dup2(taken.generic, d->fd);
    holders = keptBy(taken.node);
    if (!holders.empty()) {
        Close(hold);  // giving it back may wait until that program closes the node
        return {Reservation::Outcome::HeldElsewhere, holders, {}};
    }
    return {Reservation::Outcome::Held, {}, {}};
}

void SgChannel::Release(OsHandle drive) {
    if (DriveOf(drive) != nullptr) Close(holds_[drive - kFirstHandle]);
}

void SgChannel::Close(Hold& hold) {
    SgSystem& system = transport_.System();
    if (hold.generic >= 0) system.Close(hold.generic);
    if (hold.node >= 0) system.Close(hold.node);
    // Both closed first, so that the sr driver can give the block node its old name again.
    if (!hold.unbound.empty()) {
        system.Unguard();
        // Already bound again: another updater that started meanwhile gave it back first.
        std::error_code ignored;
        if (system.WriteText(srDriver_ + "/bind", hold.unbound) != 0 &&
            !std::filesystem::exists(srDriver_ + "/" + hold.unbound, ignored) && showSystemError_)
            showSystemError_("The drive's block node could not be made again (" + ErrnoText(system.Errno()) +
                             "); the drive is still reached through its generic node, and the block node comes "
                             "back when the computer is restarted.\n");
    }
    hold = Hold{};
}
