#include "SgTransport.h"

#include <cerrno>
#include <climits>
#include <cstring>

SgTransport::SgTransport(SgSystem& system) : system_(system) {}

namespace {

int DirectionOf(uint8_t direction) {
    if (direction == kDirIn) return SG_DXFER_FROM_DEV;
    if (direction == kDirOut) return SG_DXFER_TO_DEV;
    return SG_DXFER_NONE;
}

}  // namespace

uint8_t SgTransport::Send(int fd, CommandRecord& r) {
    CommandRecord in;
    std::memcpy(in.cdb, r.cdb, sizeof in.cdb);
    in.buffer = r.buffer;
    in.length = r.length;
    in.direction = r.direction;
    in.timeoutSeconds = r.timeoutSeconds;
    r = in;
    auto finish = [&r](uint8_t status, CommandOutcome outcome) {
        r.status = status;
        r.outcome = outcome;
        return status;
    };

    std::memset(&header_, 0, sizeof header_);
    std::memset(sense_, 0, sizeof sense_);
    if (fd < 0) {
        r.osError = EBADF;
        return finish(0, CommandOutcome::NotSent);
    }
    header_.interface_id = 'S';
    header_.dxfer_direction = DirectionOf(r.direction);
    header_.cmd_len = kSgCdbLength;
    header_.cmdp = r.cdb;
    header_.mx_sb_len = kSgSenseSize;
    header_.sbp = sense_;
    if (header_.dxfer_direction != SG_DXFER_NONE) {
        header_.dxfer_len = r.length;
        header_.dxferp = r.buffer;
    }
    header_.timeout = r.timeoutSeconds > UINT_MAX / 1000 ? UINT_MAX : r.timeoutSeconds * 1000;

    if (system_.Ioctl(fd, &header_) != 0) {
        r.osError = static_cast<uint32_t>(system_.Errno());
        return finish(0, CommandOutcome::NotDelivered);
    }

    r.scsiStatus = header_.status;
    r.hostStatus = header_.host_status;
    r.driverStatus = header_.driver_status;
    r.senseLength = header_.sb_len_wr < kSgSenseSize ? header_.sb_len_wr : kSgSenseSize;
    if (header_.dxfer_direction != SG_DXFER_NONE && header_.resid > 0)
        r.residual = static_cast<uint32_t>(header_.resid) < r.length ? static_cast<uint32_t>(header_.resid) : r.length;
    std::memcpy(r.sense, sense_, r.senseLength);

    if (header_.host_status == kDidTimeOut || (header_.driver_status & kDriverCodeMask) == kDriverTimeout)
        return finish(4, CommandOutcome::TimedOut);
    // "Sense data present" is no failure by itself: it comes with every CHECK CONDITION, which
    // the SCSI status below reports, and with GOOD only as information.
    if (header_.host_status != 0 || (header_.driver_status & ~kDriverSense) != 0)
        return finish(4, CommandOutcome::Failed);
    if (header_.status != 0) return finish(header_.status == 1 ? 4 : header_.status, CommandOutcome::Failed);
    return finish(1, CommandOutcome::Completed);
}

std::string ErrnoText(int error) {
    std::string text = std::strerror(error);
    if (error == EACCES || error == EPERM)
        text += ": vendor commands through SG_IO need root or CAP_SYS_RAWIO";
    return text;
}
