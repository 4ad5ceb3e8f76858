#include "VirtualDrive.h"

#include <algorithm>
#include <cstring>

#include "Firmware.h"
#include "VendorProtocol.h"

namespace {


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

    if (opcode == kInquiryOpcode) {
        uint8_t reply[96] = {0x05, 0x80, 0x00, 0x02, 91};
        std::memcpy(reply + 8, config_.vendorProduct.data(), 24);
        const bool flashed = !config_.flashedRevision.empty() && PagesWritten() >= config_.flashedAfterPages;
        std::memcpy(reply + 32, (flashed ? config_.flashedRevision : config_.revision).data(), 4);
        reply[38] = config_.inquiry38;
        reply[39] = config_.inquiry39;
        if (direction == 8) std::memcpy(data, reply, std::min<uint32_t>({length, cdb[4], sizeof reply}));
        return {};
    }
    if (opcode == kIdentityQueryOpcode) {
        if (std::memcmp(cdb, kIdentityQueryCommand, 12) != 0) return CheckCondition(5, 0x24, 0);
        uint8_t reply[kIdentityReplyLength];
        BuildIdentityReply(reply, config_.identitySignature, config_.hardwareId);
        if (direction == 8) std::memcpy(data, reply, std::min(length, kIdentityReplyLength));
        return {};
    }
    if (opcode == kPageWriteOpcode) {
        const int page = static_cast<int>(pages_.size()) + 1;
        auto mismatch = [&](const std::string& what) {
            mismatches_.push_back("page " + std::to_string(page) + ": " + what);
        };
        if (!PageWriteFixedBytesFit(cdb, static_cast<uint32_t>(config_.vendorCdbBytes)))
            mismatch("fixed command bytes differ");
        if (length != kPageSize || direction != 16) {
            mismatch("length " + std::to_string(length) + " direction " + std::to_string(direction));
            return CheckCondition(5, 0x24, 0);
        }
        const PageWriteFields fields = ReadPageWrite(cdb);
        const uint16_t sum = GetCheckSum(data, kPageSize);
        if (fields.pageCheckSum != sum)
            mismatch("page checksum " + Hex4(fields.pageCheckSum) + ", data sums to " + Hex4(sum));
        if (config_.vendorCdbBytes > static_cast<int>(kPageWritePageAt) && fields.page != (page & 0xFF))
            mismatch("page number byte " + std::to_string(fields.page));
        const int image = fields.imageCheckSum;
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
            all.push_back("image checksum " + Hex4(static_cast<uint16_t>(imageChecksum_)) + ", the pages sum to " +
                          Hex4(static_cast<uint16_t>(sum)));
    }
    return all;
}
