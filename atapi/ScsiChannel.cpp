#include "ScsiChannel.h"

#include <cstdio>

std::string Hex2(unsigned value) {
    char digits[12];
    std::snprintf(digits, sizeof digits, "%02X", value);
    return digits;
}

std::string SenseText(const CommandRecord& r) {
    if (r.senseLength == 0) return {};
    return ", sense key " + Hex2(r.SenseKey()) + "h, ASC " + Hex2(r.Asc()) + "h, ASCQ " + Hex2(r.Ascq()) + "h";
}

std::string ResidualText(const CommandRecord& r) {
    if (r.residual == 0) return {};
    return ", " + std::to_string(r.residual) + " of " + std::to_string(r.length) + " bytes did not move";
}

std::string CommandHex(const uint8_t* cdb) {
    std::string hex;
    for (int i = 0; i < 12; ++i) hex += (i ? " " : "") + Hex2(cdb[i]);
    return hex;
}
