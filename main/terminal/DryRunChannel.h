// A channel over another that lets only the commands through that ask the
// drive: INQUIRY and the identity query. Every other command block is handed
// to `report` and answered as completed without reaching the drive, so the
// flash procedure runs every check and builds every page-write block exactly
// as it would for real, on whichever path lies underneath.
#pragma once

#include <functional>
#include <vector>

#include "ScsiChannel.h"

class DryRunChannel final : public ScsiChannel {
public:
    DryRunChannel(ScsiChannel& inner, std::function<void(const CommandRecord&)> report)
        : inner_(inner), report_(std::move(report)) {}

    const std::vector<ChannelDrive>& Drives() override { return inner_.Drives(); }
    uint8_t Send(OsHandle drive, CommandRecord& record) override;
    std::string Describe(const CommandRecord& record) const override { return inner_.Describe(record); }
    // The drive is kept as for real: the checks do reach it.
    Reservation Reserve(OsHandle drive) override { return inner_.Reserve(drive); }
    void Release(OsHandle drive) override { inner_.Release(drive); }

private:
    ScsiChannel& inner_;
    std::function<void(const CommandRecord&)> report_;
};
