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
    // The named letter's drive that does not open keeps the system's reason.
    OsHandle CreateFile(const std::string& path) override {
        const OsHandle handle = System::CreateFile(path);
        if (handle == kInvalidHandle && onlyLetter_ != 0 && DriveLetterOf(path) == onlyLetter_) {
            const uint32_t code = System::GetLastError();
            if (!System::FormatMessage(code, openError_)) openError_.clear();
            while (!openError_.empty() && (openError_.back() == '\n' || openError_.back() == '\r'))
                openError_.pop_back();
            // No text, or one of line ends only: the code still says why, and keeps the refusal.
            if (openError_.empty()) openError_ = "system error " + std::to_string(code);
        }
        return handle;
    }
    void MessageBox(const std::string& text) override { onMessageBox_(text); }

    // Why the named letter's drive did not open; empty when it did or was not tried.
    const std::string& OpenError() const { return openError_; }

    // The number `updater list` gives the named letter's drive: the drive letters before it
    // whose drive opens (opened here and closed again, nothing sent), plus one; 0 past the
    // four that the list shows.
    int ListNumber() {
        int number = 1;
        for (char letter = 'A'; letter < onlyLetter_; ++letter) {
            if (System::GetDriveType(std::string(1, letter) + ":\\") != kDriveCdrom) continue;
            const OsHandle handle = System::CreateFile(std::string("\\\\.\\") + letter + ":");
            if (handle == kInvalidHandle) continue;
            System::CloseHandle(handle);
            ++number;
        }
        return number <= kMaxListedLetters ? number : 0;
    }

    static constexpr int kMaxListedLetters = 4;  // the drive-access object lists the first four

private:
    std::function<void(const std::string&)> onMessageBox_;
    char onlyLetter_;
    std::string openError_;
};
