#include "ConsoleOsApi.h"

#include <cctype>

namespace {


char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

}  // namespace

char DriveLetterOf(const std::string& device) {
    std::string rest = device;
    if (rest.rfind("\\\\.\\", 0) == 0) rest = rest.substr(4);
    else if (rest.size() == 3 && rest[2] == '\\') rest.pop_back();
    if (rest.size() != 2 || rest[1] != ':' || !std::isalpha(static_cast<unsigned char>(rest[0]))) return 0;
    return Upper(rest[0]);
}

uint32_t ConsoleOsApi::GetDriveType(const std::string& root) {
    if (onlyLetter_ != 0 && (root.empty() || Upper(root[0]) != onlyLetter_)) return kDriveNoRootDir;
    return os_.GetDriveType(root);
}
