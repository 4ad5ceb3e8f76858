#include "TcmuRing.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

// The kernel's linux/uio.h defines struct iovec once more: the C library's serves.
#define __LINUX_UIO_H
#include <linux/target_core_user.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

// The target core's lengths by group code (the top three bits of the operation code).
size_t TcmuCdbLength(const uint8_t* cdb) {
    static const uint8_t byGroup[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    if (cdb[0] == 0x7F) return 8u + cdb[7];
    return byGroup[cdb[0] >> 5];
}

namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

TcmuRing::~TcmuRing() {
    if (map_ != nullptr) munmap(map_, mapSize_);
    if (fd_ >= 0) close(fd_);
}

bool TcmuRing::Open(const std::string& uioPath, std::string& error) {
    const std::string name = uioPath.substr(uioPath.rfind('/') + 1);
    std::ifstream sizeFile("/sys/class/uio/" + name + "/maps/map0/size");
    std::string sizeText;
    if (!(sizeFile >> sizeText)) {
        error = "cannot read the map size of " + name + " from /sys/class/uio";
        return false;
    }
    mapSize_ = std::stoull(sizeText, nullptr, 0);
    fd_ = open(uioPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        error = SystemError("cannot open " + uioPath);
        return false;
    }
    void* map = mmap(nullptr, mapSize_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
        error = SystemError("cannot map " + uioPath);
        return false;
    }
    map_ = static_cast<uint8_t*>(map);
    const auto* mailbox = reinterpret_cast<const tcmu_mailbox*>(map_);
    if (mailbox->version != TCMU_MAILBOX_VERSION) {
        error = "mailbox version " + std::to_string(mailbox->version) + ", this handler knows " +
                std::to_string(TCMU_MAILBOX_VERSION);
        return false;
    }
    return true;
}

uint32_t TcmuRing::Head() const {
    return __atomic_load_n(&reinterpret_cast<tcmu_mailbox*>(map_)->cmd_head, __ATOMIC_ACQUIRE);
}

uint32_t TcmuRing::Tail() const { return reinterpret_cast<tcmu_mailbox*>(map_)->cmd_tail; }

TcmuRing::Entry TcmuRing::EntryAt(uint32_t offset, uint32_t& length) const {
    const auto* mailbox = reinterpret_cast<const tcmu_mailbox*>(map_);
    auto* entry = reinterpret_cast<tcmu_cmd_entry*>(map_ + mailbox->cmdr_off + offset);
    length = tcmu_hdr_get_len(entry->hdr.len_op);
    switch (tcmu_hdr_get_op(entry->hdr.len_op)) {
        case TCMU_OP_CMD: return Entry::Command;
        case TCMU_OP_PAD:
        case TCMU_OP_TMR: return Entry::Skip;
        default:
            entry->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP;
            return Entry::Unknown;
    }
}

TcmuCommand TcmuRing::Take(uint32_t offset) const {
    const auto* mailbox = reinterpret_cast<const tcmu_mailbox*>(map_);
    const auto* entry = reinterpret_cast<const tcmu_cmd_entry*>(map_ + mailbox->cmdr_off + offset);
    TcmuCommand command;
    command.id = entry->hdr.cmd_id;
    const uint8_t* cdb = map_ + entry->req.cdb_off;
    command.cdb.assign(cdb, cdb + TcmuCdbLength(cdb));
    for (uint32_t i = 0; i < entry->req.iov_cnt; ++i) {
        const iovec& iov = entry->req.iov[i];
        const uint8_t* base = map_ + reinterpret_cast<uintptr_t>(iov.iov_base);
        command.data.insert(command.data.end(), base, base + iov.iov_len);
    }
    return command;
}

void TcmuRing::Answer(uint32_t offset, const TcmuAnswer& answer) {
    const auto* mailbox = reinterpret_cast<const tcmu_mailbox*>(map_);
    auto* entry = reinterpret_cast<tcmu_cmd_entry*>(map_ + mailbox->cmdr_off + offset);
    // The reply goes into the data area before the request's fields are overwritten.
    size_t copied = 0;
    for (uint32_t i = 0; i < entry->req.iov_cnt && copied < answer.data.size(); ++i) {
        const iovec& iov = entry->req.iov[i];
        const size_t n = std::min(iov.iov_len, answer.data.size() - copied);
        std::memcpy(map_ + reinterpret_cast<uintptr_t>(iov.iov_base), answer.data.data() + copied, n);
        copied += n;
    }
    entry->rsp.scsi_status = answer.scsiStatus;
    std::memset(entry->rsp.sense_buffer, 0, sizeof entry->rsp.sense_buffer);
    std::memcpy(entry->rsp.sense_buffer, answer.sense.data(),
                std::min(answer.sense.size(), sizeof entry->rsp.sense_buffer));
}

void TcmuRing::Advance(uint32_t length) {
    auto* mailbox = reinterpret_cast<tcmu_mailbox*>(map_);
    __atomic_store_n(&mailbox->cmd_tail, (mailbox->cmd_tail + length) % mailbox->cmdr_size, __ATOMIC_RELEASE);
}

bool TcmuRing::AbortNamed(uint16_t id) const {
    const auto* mailbox = reinterpret_cast<const tcmu_mailbox*>(map_);
    const uint32_t head = Head();
    for (uint32_t at = Tail(); at != head;) {
        const auto* entry = reinterpret_cast<const tcmu_tmr_entry*>(map_ + mailbox->cmdr_off + at);
        const uint32_t length = tcmu_hdr_get_len(entry->hdr.len_op);
        if (length == 0) return false;
        if (tcmu_hdr_get_op(entry->hdr.len_op) == TCMU_OP_TMR)
            for (uint32_t i = 0; i < entry->cmd_cnt; ++i)
                if (entry->cmd_ids[i] == id) return true;
        at = (at + length) % mailbox->cmdr_size;
    }
    return false;
}

bool TcmuRing::Wait(int timeoutMs, std::string& error) {
    pollfd p{fd_, POLLIN, 0};
    const int n = poll(&p, 1, timeoutMs);
    if (n < 0 && errno != EINTR) {
        error = SystemError("cannot wait for the kernel");
        return false;
    }
    if (n > 0) {
        uint32_t events = 0;
        if (read(fd_, &events, sizeof events) != sizeof events && errno != EINTR) {
            error = SystemError("cannot read the kernel's wake-up");
            return false;
        }
    }
    return true;
}

bool TcmuRing::Notify(std::string& error) {
    const uint32_t any = 0;
    if (write(fd_, &any, sizeof any) != sizeof any) {
        error = SystemError("cannot tell the kernel of the answers");
        return false;
    }
    return true;
}

bool TcmuRing::Poll(int timeoutMs, const std::function<TcmuAnswer(const TcmuCommand&)>& serve,
                    const std::function<void(uint16_t id)>& aborted, std::string& error) {
    if (!Wait(timeoutMs, error)) return false;
    bool answered = false;
    for (;;) {
        const uint32_t tail = Tail();
        uint32_t length = 0;
        if (tail == Head()) break;
        if (EntryAt(tail, length) != Entry::Command) {
            Advance(length);
            answered = true;
            continue;
        }
        if (holding_) {
            if (!AbortNamed(heldId_)) break;
            aborted(heldId_);
            holding_ = false;
            TcmuAnswer abortedCommand;
            abortedCommand.scsiStatus = 0x02;
            abortedCommand.sense = {0x70, 0, 0x0B, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
            Answer(tail, abortedCommand);
            Advance(length);
            answered = true;
            continue;
        }
        const TcmuCommand command = Take(tail);
        const TcmuAnswer answer = serve(command);
        if (answer.hold) {
            holding_ = true;
            heldId_ = command.id;
            continue;
        }
        Answer(tail, answer);
        Advance(length);
        answered = true;
    }
    return !answered || Notify(error);
}
