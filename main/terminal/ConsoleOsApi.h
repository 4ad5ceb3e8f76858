// The system layer as the Windows console updater uses it: the plain message
// boxes of the drive-access code become terminal lines, and --device narrows
// the drive letters to the one it names. It changes those two calls of the
// layer it is put on (the real Win32 one, or a test's) and keeps the rest.
#pragma once

#include <cctype>
#include <functional>
#include <string>
#include <utility>

#include "OsApi.h"

// The drive letter (upper case) of "D:", "d:", "D:\" or "\\.\D:"; 0 for anything else.
inline char DriveLetterOf(const std::string& device) {
    std::string rest = device;
    if (rest.rfind("\\\\.\\", 0) == 0) rest = rest.substr(4);
    else if (rest.size() == 3 && rest[2] == '\\') rest.pop_back();
    if (rest.size() != 2 || rest[1] != ':' || !std::isalpha(static_cast<unsigned char>(rest[0]))) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
}

template <class System>
class ConsoleOsApi final : public System {
public:
    // onlyLetter 0: every drive letter is seen.
    explicit ConsoleOsApi(std::function<void(const std::string&)> onMessageBox, char onlyLetter = 0)
        : onMessageBox_(std::move(onMessageBox)), onlyLetter_(onlyLetter) {}

    uint32_t GetDriveType(const std::string& root) override {
        if (onlyLetter_ != 0 && DriveLetterOf(root) != onlyLetter_) return kDriveNoRootDir;
        return System::GetDriveType(root);
    }
    void MessageBox(const std::string& text) override { onMessageBox_(text); }

private:
    std::function<void(const std::string&)> onMessageBox_;
    char onlyLetter_;
};
