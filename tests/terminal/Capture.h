// Temporary files standing in for a terminal's streams.
#pragma once

#include <cstdio>
#include <string>

class CapturedFile {
public:
    explicit CapturedFile(const std::string& contents = {}) : file_(std::tmpfile()) {
        std::fputs(contents.c_str(), file_);
        std::rewind(file_);
    }
    ~CapturedFile() { std::fclose(file_); }
    CapturedFile(const CapturedFile&) = delete;
    CapturedFile& operator=(const CapturedFile&) = delete;

    std::FILE* get() { return file_; }
    std::string Text() {
        std::fflush(file_);
        const long at = std::ftell(file_);
        std::rewind(file_);
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
        std::fseek(file_, at, SEEK_SET);
        return text;
    }

private:
    std::FILE* file_;
};
