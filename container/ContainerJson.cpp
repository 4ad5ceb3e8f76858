#include "ContainerJson.h"

#include <cstdio>

#include "Firmware.h"

std::string QuotedBytes(const char* text, size_t length, std::string (*escape)(unsigned char byte)) {
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            out += static_cast<char>(c);
        else
            out += escape(c);
    }
    return out + "\"";
}

std::string JsonString(const char* text, size_t length) {
    if (!text) return "null";
    return QuotedBytes(text, length, [](unsigned char c) {
        if (c == '"' || c == '\\') return std::string{'\\', static_cast<char>(c)};
        char code[8];
        std::snprintf(code, sizeof code, "\\u%04x", c);
        return std::string(code);
    });
}

ImageIdentity ReadIdentity(const FirmwareImage& image) {
    const uint8_t* data = image.data.get();
    ImageIdentity id;
    id.checksum = GetCheckSum(data, image.length);
    id.hardwareId = GetHardwareID(data, image.length);
    id.driveName = GetDriveName(data, image.length);
    id.version = GetVersion(data, image.length);
    return id;
}

std::string ContainerJsonMembers(const uint8_t* container, const SKFSParameter& p, const FirmwareImage& image,
                                 const ImageIdentity& id) {
    const char version = static_cast<char>(container[kfs::kVersionOffset]);
    auto number = [](uint64_t value) { return std::to_string(value); };
    std::string out = "\"version\":" + JsonString(&version, 1) +
                      ",\"scrambleMode\":" + number(container[kfs::kScrambleModeOffset]) +
                      ",\"checksum\":" + number(p.checksum) + ",\"imageChecksum\":" + number(id.checksum) +
                      ",\"imageLength\":" + number(image.length) + ",\"bankSize\":" + number(p.bankSize) +
                      ",\"bankLengths\":[";
    for (size_t i = 0; i < p.bankLengths.size(); ++i) out += (i ? "," : "") + number(p.bankLengths[i]);
    out += "],\"reserveBlocks\":[";
    for (size_t i = 0; i < p.reserveBlocks.size(); ++i)
        out += std::string(i ? "," : "") + "{\"offset\":" + number(p.reserveBlocks[i].offset) +
               ",\"length\":" + number(p.reserveBlocks[i].length) + "}";
    out += "],\"option1\":" + number(p.option1) + ",\"option2\":" + number(p.option2) +
           ",\"option3\":" + number(p.option3) + ",\"value1\":" + number(static_cast<uint32_t>(p.value1)) +
           ",\"value2\":" + number(static_cast<uint32_t>(p.value2)) +
           ",\"driveName\":" + JsonString(id.driveName.get(), firmware::kDriveNameLength) +
           ",\"firmwareVersion\":" + JsonString(id.version.get(), firmware::kVersionLength) +
           ",\"hardwareId\":" + JsonString(id.hardwareId.get(), firmware::kHardwareIdLength);
    return out;
}
