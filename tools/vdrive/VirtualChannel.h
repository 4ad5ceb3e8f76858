// The channel to drive models in this process, for --simulate and the tests:
// each command goes to its model as it stands, and the model's answer comes back.
#pragma once

#include <string>
#include <vector>

#include "ScsiChannel.h"
#include "VirtualDrive.h"

class VirtualChannel final : public ScsiChannel {
public:
    // The drive stays owned by the caller; it is listed as "virtual drive N".
    void AddDrive(VirtualDrive& drive);

    const std::vector<ChannelDrive>& Drives() override { return list_; }
    // A command the model never answers fails as timed out.
    uint8_t Send(OsHandle drive, CommandRecord& record) override;
    std::string Describe(const CommandRecord& record) const override;
    // No other program reaches a model in this process.
    Reservation Reserve(OsHandle) override { return {Reservation::Outcome::Held, {}, {}}; }

private:
    std::vector<VirtualDrive*> drives_;
    std::vector<ChannelDrive> list_;
};
