// A scripted stand-in for the SG_IO system calls: nodes that open or fail,
// and an answer for every ioctl, with a record of all that was asked.
#pragma once

#include <algorithm>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "SgSystem.h"

struct SgAnswer {
    int error = 0;                  // non-zero: the ioctl fails with this errno
    uint8_t status = 0;             // SCSI status
    uint16_t host = 0, driver = 0;  // host_status, driver_status
    std::vector<uint8_t> sense;     // written to the sense buffer (up to mx_sb_len)
    int senseWritten = -1;          // sb_len_wr as reported; -1: the bytes actually written
    std::vector<uint8_t> data;      // for data in: written to the buffer (up to dxfer_len)
    int resid = -1;                 // as reported; -1: data in, what data left unfilled; data out, 0
};

class FakeSgSystem : public SgSystem {
public:
    struct Sent {
        int fd;
        sg_io_hdr_t header;         // as the caller filled it
        std::vector<uint8_t> cdb;   // the bytes cmdp pointed at, cmd_len of them
    };

    std::map<std::string, int> nodes;         // path -> descriptor it opens as
    std::map<std::string, int> openErrors;    // path -> errno its open fails with
    // Opens with O_EXCL: path -> errno they fail with (EBUSY: another program holds it), or the
    // descriptor they open as; otherwise as any other open.
    std::map<std::string, int> exclusiveErrors, exclusiveNodes;
    std::function<SgAnswer(int fd, const sg_io_hdr_t&)> answer = [](int, const sg_io_hdr_t&) {
        return SgAnswer{};
    };

    std::vector<std::pair<std::string, int>> opens;  // path, flags
    std::vector<int> closes;
    std::vector<Sent> sent;
    std::map<std::string, int> writeErrors;               // path -> errno its write fails with
    std::vector<std::pair<int, int>> dups;  // from, to
    // What each OtherHolders answers in turn, the last one from then on; none when empty.
    std::vector<std::vector<std::string>> holders;
    std::vector<int> asked;  // the descriptors OtherHolders was asked about
    int slept = 0;           // milliseconds
    int guardedFd = -1;      // while a guard is on
    struct Write {
        std::string path, text;
        size_t sentBefore;  // how many commands had been sent when it was written
        bool operator==(const Write&) const = default;
        friend void PrintTo(const Write& w, std::ostream* os) {
            *os << w.path << " <- \"" << w.text << "\" after " << w.sentBefore << " commands";
        }
    };
    std::vector<Write> writes;
    std::function<void(const Write&)> onWrite;  // what a write makes happen (sysfs making a node)
    // Closes and writes as they came: "close 7", "write <path> <text>".
    std::vector<std::string> order;
    Write guarded{};  // the last guard's give-back (sentBefore: when it was set up)

    int Open(const std::string& path, int flags) override {
        opens.emplace_back(path, flags);
        if (flags & O_EXCL) {
            if (auto failure = exclusiveErrors.find(path); failure != exclusiveErrors.end())
                return Fail(failure->second);
            if (auto node = exclusiveNodes.find(path); node != exclusiveNodes.end()) return node->second;
        }
        if (auto failure = openErrors.find(path); failure != openErrors.end()) return Fail(failure->second);
        if (auto node = nodes.find(path); node != nodes.end()) return node->second;
        return Fail(ENOENT);
    }
    int Close(int fd) override {
        closes.push_back(fd);
        order.push_back("close " + std::to_string(fd));
        return 0;
    }
    int Ioctl(int fd, sg_io_hdr_t* header) override {
        Sent record{fd, *header, {}};
        if (header->cmdp) record.cdb.assign(header->cmdp, header->cmdp + header->cmd_len);
        sent.push_back(record);
        const SgAnswer reply = answer(fd, *header);
        if (reply.error != 0) return Fail(reply.error);
        header->status = reply.status;
        header->masked_status = reply.status >> 1;
        header->host_status = reply.host;
        header->driver_status = reply.driver;
        const size_t senseBytes = std::min<size_t>(reply.sense.size(), header->mx_sb_len);
        if (senseBytes) std::memcpy(header->sbp, reply.sense.data(), senseBytes);
        const size_t reported = reply.senseWritten >= 0 ? size_t(reply.senseWritten) : senseBytes;
        header->sb_len_wr = static_cast<unsigned char>(reported);
        if (header->dxfer_direction == SG_DXFER_FROM_DEV && header->dxferp) {
            const size_t dataBytes = std::min<size_t>(reply.data.size(), header->dxfer_len);
            if (dataBytes) std::memcpy(header->dxferp, reply.data.data(), dataBytes);
            header->resid = static_cast<int>(header->dxfer_len - dataBytes);
        }
        if (reply.resid >= 0) header->resid = reply.resid;
        return 0;
    }
    int Dup2(int from, int to) override {
        dups.emplace_back(from, to);
        return 0;
    }
    std::vector<std::string> OtherHolders(int fd) override {
        asked.push_back(fd);
        if (holders.empty()) return {};
        std::vector<std::string> now = holders.front();
        if (holders.size() > 1) holders.erase(holders.begin());
        return now;
    }
    void Sleep(int milliseconds) override { slept += milliseconds; }
    void Guard(int fd, const std::string& path, const std::string& text) override {
        guarded = Write{path, text, sent.size()};
        guardedFd = fd;
    }
    void Unguard() override { guardedFd = -1; }
    int WriteText(const std::string& path, const std::string& text) override {
        writes.push_back({path, text, sent.size()});
        order.push_back("write " + path + " " + text);
        if (auto failure = writeErrors.find(path); failure != writeErrors.end()) return Fail(failure->second);
        if (onWrite) onWrite(writes.back());
        return 0;
    }
    int Errno() override { return lastError; }

    int lastError = 0;

private:
    int Fail(int error) {
        lastError = error;
        return -1;
    }
};

// Fixed-format sense data: response code 0x70, the key, the additional length, ASC, ASCQ.
inline std::vector<uint8_t> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}
