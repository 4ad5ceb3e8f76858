// An NT-family OS layer over the Linux drive access: the drives that sysfs
// discovery found are listed by their device nodes, in their order, and each
// pass-through request goes to the drive's node through the SG_IO transport.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "OsApi.h"
#include "SgDiscovery.h"
#include "SgTransport.h"
#include "VirtualOsApi.h"

// What the driver says when its time-out ran out; the drive-access code counts it as
// completion, since a drive that reprograms its flash may stop answering in time.
inline constexpr uint32_t kSgTimedOutError = kErrorSemTimeout;

class LinuxOsApi : public PlainNtOsApi {
public:
    // The drives stay owned by the caller and must outlive this layer.
    LinuxOsApi(SgTransport& transport, const std::vector<SgDrive>& drives);

    // The discovered drive whose node is `devicePath`; nullptr for any other path.
    const SgDrive* DriveAt(const std::string& devicePath) const;

    bool ListDrivePaths(std::vector<std::string>& paths) override;

    uint32_t GetDriveType(const std::string& root) override;
    OsHandle CreateFile(const std::string& path) override;
    void CloseHandle(OsHandle) override {}  // the drive list owns the descriptors
    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override;
    bool FormatMessage(uint32_t code, std::string& text) override;

private:
    SgTransport& transport_;
    const std::vector<SgDrive>& drives_;
};
