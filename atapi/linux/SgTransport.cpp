#include "SgTransport.h"

#include <cerrno>
#include <cstring>

SgTransport::SgTransport(SgSystem& system) : system_(system) {}

namespace {

int DirectionOf(uint8_t direction) {
    if (direction == kDirIn) return SG_DXFER_FROM_DEV;
    if (direction == kDirOut) return SG_DXFER_TO_DEV;
    return SG_DXFER_NONE;
}

}  // namespace

uint8_t SgTransport::SendCommand(int fd, const uint8_t* cdb, uint8_t* buffer, uint32_t length,
                                 uint8_t direction) {
    last_ = CommandRecord{};
    std::memcpy(last_.cdb, cdb, sizeof last_.cdb);
    last_.length = length;
    last_.direction = direction;
    driverStatus_ = 0;
    auto finish = [this](uint8_t status, CommandOutcome outcome) {
        last_.status = status;
        last_.outcome = outcome;
        return status;
    };

    std::memset(&header_, 0, sizeof header_);
    std::memset(sense_, 0, sizeof sense_);
    if (fd < 0) {
        last_.osError = EBADF;
        return finish(0, CommandOutcome::NotSent);
    }
    header_.interface_id = 'S';
    header_.dxfer_direction = DirectionOf(direction);
    header_.cmd_len = kSgCdbLength;
    header_.cmdp = const_cast<unsigned char*>(cdb);  // the kernel only reads it
    header_.mx_sb_len = kSgSenseSize;
    header_.sbp = sense_;
    if (header_.dxfer_direction != SG_DXFER_NONE) {
        header_.dxfer_len = length;
        header_.dxferp = buffer;
    }
    header_.timeout = kSgTimeoutMs;

    if (system_.Ioctl(fd, &header_) != 0) {
        last_.osError = static_cast<uint32_t>(system_.Errno());
        return finish(0, CommandOutcome::NotDelivered);
    }

    last_.scsiStatus = header_.status;
    last_.hostStatus = static_cast<uint8_t>(header_.host_status);
    driverStatus_ = header_.driver_status;
    last_.senseLength = header_.sb_len_wr < kSgSenseSize ? header_.sb_len_wr : kSgSenseSize;
    std::memcpy(last_.sense, sense_, last_.senseLength);

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
