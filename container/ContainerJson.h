// The JSON that `kfstool info --json` and `updater info --json` print about a
// loaded container, written in one place so that the two keep the same keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Kfs.h"

// Version of the JSON documents' layout: raised when a key changes meaning or
// goes away (new keys may come without it).
inline constexpr int kJsonFormatVersion = 1;

// `length` bytes of `text` in double quotes: printable ASCII as it is, the
// quote, the backslash and every other byte as `escape` writes it.
std::string QuotedBytes(const char* text, size_t length, std::string (*escape)(unsigned char byte));

// A JSON string of exactly `length` bytes, or null for a null text. Any byte
// gives valid JSON: quotes, backslashes, control bytes and bytes above 126 are
// written as escapes (a byte above 127 as the code point of the same number).
std::string JsonString(const char* text, size_t length);

// What the image says of itself: its checksum and the three identity texts.
struct ImageIdentity {
    uint16_t checksum = 0;
    std::unique_ptr<char[]> hardwareId, driveName, version;
};
ImageIdentity ReadIdentity(const FirmwareImage& image);

// The members, without the braces, that describe a container (its first bytes
// give the container version and scramble mode), its parameters and the image
// loaded from it.
std::string ContainerJsonMembers(const uint8_t* container, const SKFSParameter& parameter,
                                 const FirmwareImage& image, const ImageIdentity& identity);
