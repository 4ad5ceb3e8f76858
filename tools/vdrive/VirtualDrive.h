// A model of the drive for tests and the demo: answers INQUIRY and the
// identity query, accepts page writes and checks each against its data.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct VirtualDriveConfig {
    std::string vendorProduct = "VELD    DVD-RW KX4800   ";  // INQUIRY bytes 8..31
    std::string revision = "1.02";                          // INQUIRY bytes 32..35
    uint8_t inquiry38 = 'K', inquiry39 = '4';                // INQUIRY bytes 38, 39
    bool identitySignature = true;                           // reply "KOLA" ... 'H','W' at 16, 17
    uint8_t hardwareId[2] = {'K', '4'};                      // identity reply bytes 18, 19
    // Bytes of a vendor command block (operation codes E0 to FF) that reach the
    // drive: a path that passes fewer than 12 leaves the rest unchecked.
    int vendorCdbBytes = 12;
    // Once this many pages were accepted, INQUIRY reports this revision (the
    // firmware just written); empty keeps `revision`.
    int flashedAfterPages = 0;
    std::string flashedRevision;
};

struct DriveAnswer {
    enum class Transport { Normal, NeverCompletes, Busy };
    uint8_t scsiStatus = 0;  // 0 GOOD, 2 CHECK CONDITION, 8 BUSY
    uint8_t sense[18] = {};
    uint8_t senseLength = 0;
    Transport transport = Transport::Normal;
};

class VirtualDrive {
public:
    explicit VirtualDrive(VirtualDriveConfig config = {});

    // Executes one 12-byte command block; direction 8 in, 16 out, anything else none.
    DriveAnswer Execute(const uint8_t* cdb, uint8_t* data, uint32_t length, uint8_t direction);

    // Faults on demand for the n-th (from 1) command with this operation code.
    void FailCommand(uint8_t opcode, int occurrence, uint8_t scsiStatus, uint8_t senseKey, uint8_t asc,
                     uint8_t ascq);
    void NeverComplete(uint8_t opcode, int occurrence);
    void Busy(uint8_t opcode, int occurrence);

    struct Received {
        uint8_t cdb[12];
        uint32_t length;
        uint8_t direction;
    };
    const std::vector<Received>& Commands() const { return commands_; }
    std::vector<uint8_t> AssembledImage() const;  // the pages accepted, in order
    int PagesWritten() const { return static_cast<int>(pages_.size()); }
    // Every page-write field that does not fit its data, and a whole-image
    // checksum that differs from the checksum of the assembled image.
    std::vector<std::string> Mismatches() const;
    const VirtualDriveConfig& Config() const { return config_; }

private:
    VirtualDriveConfig config_;
    std::vector<Received> commands_;
    std::map<uint8_t, int> seen_;  // commands received per operation code
    std::map<std::pair<uint8_t, int>, DriveAnswer> faults_;
    std::vector<std::vector<uint8_t>> pages_;
    std::vector<std::string> mismatches_;
    int imageChecksum_ = -1;  // as carried by the first page write
};
