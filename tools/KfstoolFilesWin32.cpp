#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <filesystem>

#include "CommandLine.h"
#include "KfstoolFiles.h"

namespace {

std::string LastError() {
    char text[512];
    const DWORD code = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

bool WriteAll(HANDLE h, const uint8_t* data, size_t size) {
    while (size > 0) {
        DWORD n = 0;
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        if (!WriteFile(h, data, chunk, &n, nullptr) || n == 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

}  // namespace

std::FILE* OpenInput(const std::string& path) {
    if (path != "-") return std::fopen(path.c_str(), "rb");
    _setmode(_fileno(stdin), _O_BINARY);
    return stdin;
}

bool WriteOutput(const std::string& path, const uint8_t* data, size_t size, std::string& reason) {
    if (path == "-") {
        std::fflush(stdout);
        _setmode(_fileno(stdout), _O_BINARY);
        if (std::fwrite(data, 1, size, stdout) == size && std::fflush(stdout) == 0) return true;
        reason = "cannot write standard output";
        return false;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "it is a directory";
        return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) {
        reason = "it is read-only";
        return false;
    }
    // Devices (NUL, CON, COM1 ...) and pipes are written directly.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        const DWORD type = GetFileType(h);
        if (type != FILE_TYPE_DISK) {
            const bool ok = WriteAll(h, data, size);
            if (!ok) reason = LastError();
            CloseHandle(h);
            return ok;
        }
        CloseHandle(h);
    } else if (exists) {
        reason = LastError();
        return false;
    }

    // Full paths: ReplaceFile does not take every relative form.
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    const std::string target = ec ? path : full.string();
    const std::filesystem::path parent = std::filesystem::path(target).parent_path();
    const std::string folder = parent.empty() ? std::string(".") : parent.string();
    char temporary[MAX_PATH];
    if (GetTempFileNameA(folder.c_str(), "kfs", 0, temporary) == 0) {  // creates it, under a unique name
        reason = "cannot make a temporary file in its folder " + ShownArgument(folder) + ": " + LastError();
        return false;
    }
    h = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = h != INVALID_HANDLE_VALUE && WriteAll(h, data, size) && FlushFileBuffers(h);
    if (!ok) reason = LastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    // ReplaceFile keeps the old file's attributes and security.
    if (ok && !(exists ? ReplaceFileA(target.c_str(), temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                      nullptr)
                       : MoveFileExA(temporary, target.c_str(), MOVEFILE_WRITE_THROUGH))) {
        reason = LastError();
        ok = false;
    }
    if (!ok) DeleteFileA(temporary);
    return ok;
}
