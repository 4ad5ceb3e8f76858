// The system layer as the Windows console updater uses it: the plain message
// boxes of the drive-access code become terminal lines, and --device narrows
// the drive letters to the one it names.
#pragma once

#include <functional>
#include <string>

#include "ForwardingOsApi.h"

// The drive letter (upper case) of "D:", "d:", "D:\" or "\\.\D:"; 0 for anything else.
char DriveLetterOf(const std::string& device);

class ConsoleOsApi : public ForwardingOsApi {
public:
    // onlyLetter 0: every drive letter is seen.
    ConsoleOsApi(OsApi& os, std::function<void(const std::string&)> onMessageBox, char onlyLetter = 0)
        : ForwardingOsApi(os), onMessageBox_(std::move(onMessageBox)), onlyLetter_(onlyLetter) {}

    uint32_t GetDriveType(const std::string& root) override;
    void MessageBox(const std::string& text) override { onMessageBox_(text); }

private:
    std::function<void(const std::string&)> onMessageBox_;
    char onlyLetter_;
};
