#include "VirtualDrive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Firmware.h"

namespace {

constexpr uint8_t kInquiry = 0x12, kIdentityQuery = 0x5A, kPageWrite = 0xFD;
constexpr uint32_t kPageSize = 16384;

DriveAnswer CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
    DriveAnswer a;
    a.scsiStatus = 2;
    a.sense[0] = 0x70;  // current error, fixed format
    a.sense[2] = key;
    a.sense[7] = 10;
    a.sense[12] = asc;
    a.sense[13] = ascq;
    a.senseLength = 18;
    return a;
}

std::string Hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
    return buf;
}

}  // namespace

VirtualDrive::VirtualDrive(VirtualDriveConfig config) : config_(std::move(config)) {
    config_.vendorProduct.resize(24, ' ');
    config_.revision.resize(4, ' ');
    if (!config_.flashedRevision.empty()) config_.flashedRevision.resize(4, ' ');
}

void VirtualDrive::FailCommand(uint8_t opcode, int occurrence, uint8_t scsiStatus, uint8_t senseKey, uint8_t asc,
                               uint8_t ascq) {
    DriveAnswer a = scsiStatus == 2 ? CheckCondition(senseKey, asc, ascq) : DriveAnswer{};
    a.scsiStatus = scsiStatus;
    faults_[{opcode, occurrence}] = a;
}

void VirtualDrive::NeverComplete(uint8_t opcode, int occurrence) {
    DriveAnswer a;
    a.transport = DriveAnswer::Transport::NeverCompletes;
    faults_[{opcode, occurrence}] = a;
}

void VirtualDrive::Busy(uint8_t opcode, int occurrence) {
    DriveAnswer a;
    a.scsiStatus = 8;
    a.transport = DriveAnswer::Transport::Busy;
    faults_[{opcode, occurrence}] = a;
}

DriveAnswer VirtualDrive::Execute(const uint8_t* cdb, uint8_t* data, uint32_t length, uint8_t direction) {
    Received r{};
    std::memcpy(r.cdb, cdb, 12);
    r.length = length;
    r.direction = direction;
    commands_.push_back(r);
    const uint8_t opcode = cdb[0];
    const int n = ++seen_[opcode];
    if (auto fault = faults_.find({opcode, n}); fault != faults_.end()) return fault->second;

    if (opcode == kInquiry) {
        uint8_t reply[96] = {0x05, 0x80, 0x00, 0x02, 91};
        std::memcpy(reply + 8, config_.vendorProduct.data(), 24);
        const bool flashed = !config_.flashedRevision.empty() && PagesWritten() >= config_.flashedAfterPages;
        std::memcpy(reply + 32, (flashed ? config_.flashedRevision : config_.revision).data(), 4);
        reply[38] = config_.inquiry38;
        reply[39] = config_.inquiry39;
        if (direction == 8) std::memcpy(data, reply, std::min<uint32_t>({length, cdb[4], sizeof reply}));
        return {};
    }
    if (opcode == kIdentityQuery) {
        static const uint8_t query[12] = {0x5A, 0x00, 0x38, 0x4B, 0x4F, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
        if (std::memcmp(cdb, query, 12) != 0) return CheckCondition(5, 0x24, 0);
        uint8_t reply[20] = {};
        if (config_.identitySignature) {
            std::memcpy(reply, "KOLA", 4);
            reply[16] = 'H';
            reply[17] = 'W';
        }
        reply[18] = config_.hardwareId[0];
        reply[19] = config_.hardwareId[1];
        if (direction == 8) std::memcpy(data, reply, std::min<uint32_t>(length, 20));
        return {};
    }
    if (opcode == kPageWrite) {
        const int page = static_cast<int>(pages_.size()) + 1;
        auto mismatch = [&](const std::string& what) {
            mismatches_.push_back("page " + std::to_string(page) + ": " + what);
        };
        static const uint8_t fixed[6] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44};
        if (std::memcmp(cdb, fixed, 6) != 0 || (config_.vendorCdbBytes > 11 && cdb[11] != 0x08))
            mismatch("fixed command bytes differ");
        if (length != kPageSize || direction != 16) {
            mismatch("length " + std::to_string(length) + " direction " + std::to_string(direction));
            return CheckCondition(5, 0x24, 0);
        }
        const unsigned sum = GetCheckSum(data, kPageSize);
        const unsigned carried = (cdb[6] << 8) | cdb[7];
        if (carried != sum) mismatch("page checksum " + Hex4(carried) + ", data sums to " + Hex4(sum));
        if (config_.vendorCdbBytes > 10 && cdb[10] != (page & 0xFF)) mismatch("page number byte " + std::to_string(cdb[10]));
        const int image = (cdb[8] << 8) | cdb[9];
        if (imageChecksum_ < 0) imageChecksum_ = image;
        if (image != imageChecksum_) mismatch("image checksum " + Hex4(image) + " differs from page 1's");
        pages_.emplace_back(data, data + kPageSize);
        return {};
    }
    return CheckCondition(5, 0x20, 0);  // invalid command operation code
}

std::vector<uint8_t> VirtualDrive::AssembledImage() const {
    std::vector<uint8_t> image;
    for (const auto& page : pages_) image.insert(image.end(), page.begin(), page.end());
    return image;
}

std::vector<std::string> VirtualDrive::Mismatches() const {
    std::vector<std::string> all = mismatches_;
    if (!pages_.empty()) {
        const auto image = AssembledImage();
        const unsigned sum = GetCheckSum(image.data(), static_cast<uint32_t>(image.size()));
        if (static_cast<unsigned>(imageChecksum_) != sum)
            all.push_back("image checksum " + Hex4(imageChecksum_) + ", the pages sum to " + Hex4(sum));
    }
    return all;
}
