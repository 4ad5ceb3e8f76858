#include "DryRunChannel.h"

#include "VendorProtocol.h"

uint8_t DryRunChannel::Send(OsHandle drive, CommandRecord& record) {
    if (record.cdb[0] == kInquiryOpcode || record.cdb[0] == kIdentityQueryOpcode) return inner_.Send(drive, record);
    report_(record);
    record.status = 1;
    record.outcome = CommandOutcome::Completed;
    return record.status;
}
