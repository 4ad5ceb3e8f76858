// The user side of the kernel's TCMU command ring (target_core_user): the
// mailbox, the command ring and the data area of one /dev/uioN, mapped into
// this process. Commands are taken and answered in ring order; one command may
// be held unanswered until the kernel aborts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How many bytes of a command block with this operation code the target core
// passes on (by the group code; 7F, of variable length, counts its own).
size_t TcmuCdbLength(const uint8_t* cdb);

struct TcmuCommand {
    uint16_t id = 0;
    std::vector<uint8_t> cdb;   // as many bytes as the target core passed on
    std::vector<uint8_t> data;  // what the initiator sent (or room for the reply), data length bytes
};

struct TcmuAnswer {
    uint8_t scsiStatus = 0;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> data;  // for a command that reads: copied to the initiator, at most data length
    bool hold = false;          // answer nothing until the kernel aborts the command
};

class TcmuRing {
public:
    TcmuRing() = default;
    ~TcmuRing();
    TcmuRing(const TcmuRing&) = delete;
    TcmuRing& operator=(const TcmuRing&) = delete;

    // Opens /dev/uioN and maps it; the size of the map comes from sysfs.
    bool Open(const std::string& uioPath, std::string& error);

    // Waits up to timeoutMs for the kernel's wake-up, then handles every
    // command in the ring with `serve` and tells the kernel what was answered.
    // `aborted` is called for a held command once a task management request
    // names it; the held command is then answered with ABORTED COMMAND.
    // Returns false when the device fails.
    bool Poll(int timeoutMs, const std::function<TcmuAnswer(const TcmuCommand&)>& serve,
              const std::function<void(uint16_t id)>& aborted, std::string& error);

    bool Holding() const { return holding_; }

private:
    enum class Entry { Command, Skip, Unknown };
    bool Wait(int timeoutMs, std::string& error);
    bool Notify(std::string& error);
    uint32_t Head() const;
    uint32_t Tail() const;
    Entry EntryAt(uint32_t offset, uint32_t& length) const;
    TcmuCommand Take(uint32_t offset) const;
    void Answer(uint32_t offset, const TcmuAnswer& answer);
    void Advance(uint32_t length);
    bool AbortNamed(uint16_t id) const;  // a task management entry past the held one names it

    int fd_ = -1;
    uint8_t* map_ = nullptr;
    size_t mapSize_ = 0;
    bool holding_ = false;
    uint16_t heldId_ = 0;
};
