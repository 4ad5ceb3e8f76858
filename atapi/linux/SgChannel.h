// The Linux channel: the drives sysfs discovery found, by their device nodes,
// and each command sent to its node with SG_IO. What the kernel says stays in
// Linux's words: errno, host adapter and driver status, the time-out.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ScsiChannel.h"
#include "SgDiscovery.h"
#include "SgTransport.h"

class SgChannel final : public ScsiChannel {
public:
    // The drives' descriptors stay owned by their list. A command whose ioctl
    // fails (or that has no open drive to go to) is told to showSystemError
    // with the errno text, as the pass-through path shows the system's text.
    SgChannel(SgTransport& transport, const std::vector<SgDrive>& drives,
              std::function<void(const std::string&)> showSystemError = nullptr);

    // The discovered drive this channel's handle stands for; nullptr for any other.
    const SgDrive* DriveOf(OsHandle handle) const;

    const std::vector<ChannelDrive>& Drives() override { return list_; }
    // A command that the kernel gave up on after its time-out counts as
    // completed: a drive that reprograms its flash may stop answering in time.
    uint8_t Send(OsHandle drive, CommandRecord& record) override;
    std::string Describe(const CommandRecord& record) const override;

private:
    SgTransport& transport_;
    std::vector<SgDrive> drives_;
    std::vector<ChannelDrive> list_;
    std::function<void(const std::string&)> showSystemError_;
};
