// How kfstool opens its input and writes its output; one implementation per
// platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Standard input for "-", else the named file, for binary reading; null with
// errno set when it cannot be opened.
std::FILE* OpenInput(const std::string& path);

// Writes `size` bytes to OUT: "-", standard output itself, a device or a pipe
// is written directly; a link is followed; a regular file is replaced at once
// by a complete new one, made under a fresh unique name in the same folder,
// with the old file's mode and owner. Nothing that was there before is ever
// deleted. False with the reason (without the path) when OUT was not written.
bool WriteOutput(const std::string& path, const uint8_t* data, size_t size, std::string& reason);
