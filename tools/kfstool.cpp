// kfstool: inspect, unpack, pack and verify KFS firmware containers.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "EmbeddedContainer.h"
#include "Firmware.h"
#include "Kfs.h"
#include "KfsWriter.h"

namespace {

constexpr int kBad = 1;    // bad container, failed check, unreadable file
constexpr int kUsage = 2;  // bad arguments

const char kUsageText[] =
    "usage: kfstool info [--json] FILE\n"
    "       kfstool unpack FILE OUT\n"
    "       kfstool pack --layout old|v3 [--version \" \"|1|2] [--scramble] [--key P0,P1,P2,P3]\n"
    "                    [--bank-size N] IMAGE OUT\n"
    "       kfstool verify FILE\n"
    "FILE may be --builtin: the container compiled into this program.\n";

int Usage(const std::string& why) {
    std::fprintf(stderr, "kfstool: %s\n%s", why.c_str(), kUsageText);
    return kUsage;
}

int Failure(const std::string& why) {
    std::fprintf(stderr, "kfstool: %s\n", why.c_str());
    return kBad;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    if (path == "--builtin") {
        bytes.assign(EmbeddedContainerData(), EmbeddedContainerData() + EmbeddedContainerSize());
        return true;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) error = "cannot read " + path;
    return !failed;
}

// Writes through a temporary file so that OUT appears only when complete.
bool WriteFile(const std::string& path, const uint8_t* data, size_t size, std::string& error) {
    const std::string temporary = path + ".partial";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    bool ok = f != nullptr;
    if (ok) ok = std::fwrite(data, 1, size, f) == size;
    if (f && std::fclose(f) != 0) ok = false;
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
    }
    return ok;
}

struct Loaded {
    std::vector<uint8_t> container;
    FirmwareImage image;
    SKFSParameter parameter;
};

// Reads and loads FILE; on failure prints one line and returns false.
bool Load(const std::string& path, Loaded& out) {
    std::string error;
    if (!ReadFile(path, out.container, error)) return Failure(error), false;
    KfsRejection why = KfsRejection::None;
    if (!LoadContainer(out.container.data(), out.container.size(), out.image, out.parameter, &why)) {
        Failure(path + ": rejected: " + RejectionText(why));
        return false;
    }
    return true;
}

// A text with its exact bytes: quoted, so trailing spaces show, with any
// byte that is not printable ASCII written as \xNN.
std::string Quoted(const char* text, size_t length) {
    if (!text) return "(absent)";
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::string JsonString(const char* text, size_t length) {
    if (!text) return "null";
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
    }
    return out + "\"";
}

struct Identity {
    uint16_t checksum;
    std::unique_ptr<char[]> hardwareId, driveName, version;
};

Identity ReadIdentity(const FirmwareImage& image) {
    const uint8_t* data = image.data.get();
    return {GetCheckSum(data, image.length), GetHardwareID(data, image.length),
            GetDriveName(data, image.length), GetVersion(data, image.length)};
}

int Info(const std::string& path, bool json) {
    Loaded l;
    if (!Load(path, l)) return kBad;
    const Identity id = ReadIdentity(l.image);
    const SKFSParameter& p = l.parameter;
    const char version = static_cast<char>(l.container[kfs::kVersionOffset]);
    const unsigned scrambleMode = l.container[kfs::kScrambleModeOffset];
    if (json) {
        std::printf("{\"version\":%s,\"scrambleMode\":%u,\"checksum\":%u,\"imageChecksum\":%u,"
                    "\"imageLength\":%u,\"bankSize\":%u,\"bankLengths\":[",
                    JsonString(&version, 1).c_str(), scrambleMode, p.checksum, id.checksum,
                    l.image.length, p.bankSize);
        for (size_t i = 0; i < p.bankLengths.size(); ++i)
            std::printf("%s%u", i ? "," : "", p.bankLengths[i]);
        std::printf("],\"reserveBlocks\":[");
        for (size_t i = 0; i < p.reserveBlocks.size(); ++i)
            std::printf("%s{\"offset\":%u,\"length\":%u}", i ? "," : "", p.reserveBlocks[i].offset,
                        p.reserveBlocks[i].length);
        std::printf("],\"option1\":%u,\"option2\":%u,\"option3\":%u,\"value1\":%u,\"value2\":%u,"
                    "\"driveName\":%s,\"firmwareVersion\":%s,\"hardwareId\":%s}\n",
                    p.option1, p.option2, p.option3, static_cast<uint32_t>(p.value1),
                    static_cast<uint32_t>(p.value2),
                    JsonString(id.driveName.get(), firmware::kDriveNameLength).c_str(),
                    JsonString(id.version.get(), firmware::kVersionLength).c_str(),
                    JsonString(id.hardwareId.get(), firmware::kHardwareIdLength).c_str());
        return 0;
    }
    std::printf("container        %s (%zu bytes)\n", path.c_str(), l.container.size());
    std::printf("version          \"%c\" (%s layout)\n", version, version == '3' ? "version-3" : "old");
    std::printf("scrambleMode     %u\n", scrambleMode);
    std::printf("option1..3       %u %u %u\n", p.option1, p.option2, p.option3);
    std::printf("value1, value2   0x%08X 0x%08X\n", static_cast<uint32_t>(p.value1),
                static_cast<uint32_t>(p.value2));
    std::printf("bank size        %u\n", p.bankSize);
    std::printf("banks            %zu\n", p.bankLengths.size());
    for (size_t i = 0; i < p.bankLengths.size(); ++i)
        std::printf("  bank %-3zu       %u stored bytes\n", i, p.bankLengths[i]);
    std::printf("reserve blocks   %zu\n", p.reserveBlocks.size());
    for (const auto& b : p.reserveBlocks)
        std::printf("  offset 0x%08X length 0x%08X\n", b.offset, b.length);
    std::printf("image length     %u\n", l.image.length);
    std::printf("stored checksum  %04X\n", p.checksum);
    std::printf("image checksum   %04X%s\n", id.checksum, id.checksum == p.checksum ? "" : "  (differs)");
    std::printf("drive name       %s\n", Quoted(id.driveName.get(), firmware::kDriveNameLength).c_str());
    std::printf("version          %s\n", Quoted(id.version.get(), firmware::kVersionLength).c_str());
    std::printf("hardware ID      %s\n", Quoted(id.hardwareId.get(), firmware::kHardwareIdLength).c_str());
    return 0;
}

int Unpack(const std::string& path, const std::string& out) {
    Loaded l;
    if (!Load(path, l)) return kBad;
    std::string error;
    if (!WriteFile(out, l.image.data.get(), l.image.length, error)) return Failure(error);
    return 0;
}

int Verify(const std::string& path) {
    Loaded l;
    if (!Load(path, l)) return kBad;
    const Identity id = ReadIdentity(l.image);
    if (id.checksum != l.parameter.checksum) {
        char line[128];
        std::snprintf(line, sizeof line, "%s: stored checksum %04X differs from the image checksum %04X",
                      path.c_str(), l.parameter.checksum, id.checksum);
        return Failure(line);
    }
    if (!id.driveName) return Failure(path + ": the image has no drive name (needs exactly one INQUIRY block)");
    if (!id.version) return Failure(path + ": the image has no firmware version (needs exactly one INQUIRY block)");
    if (!id.hardwareId) return Failure(path + ": the image has no hardware ID");
    std::printf("%s: OK\n", path.c_str());
    return 0;
}

std::optional<uint32_t> ParseNumber(const std::string& text, uint64_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return std::nullopt;
    return static_cast<uint32_t>(v);
}

int Pack(int argc, char** argv) {
    KfsPackOptions o;
    std::optional<std::string> layout, version, key, bankSize;
    std::vector<std::string> files;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::optional<std::string>& slot) {
            if (i + 1 >= argc) return false;
            slot = argv[++i];
            return true;
        };
        if (a == "--layout") {
            if (!value(layout)) return Usage("--layout needs old or v3");
        } else if (a == "--version") {
            if (!value(version)) return Usage("--version needs \" \", 1 or 2");
        } else if (a == "--key") {
            if (!value(key)) return Usage("--key needs P0,P1,P2,P3");
        } else if (a == "--bank-size") {
            if (!value(bankSize)) return Usage("--bank-size needs a number");
        } else if (a == "--scramble") {
            o.scramble = true;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            return Usage("unknown option " + a);
        } else {
            files.push_back(a);
        }
    }
    if (!layout || (*layout != "old" && *layout != "v3")) return Usage("--layout old or --layout v3 is required");
    if (files.size() != 2) return Usage("pack takes IMAGE and OUT");
    o.layout = *layout == "old" ? KfsLayout::Old : KfsLayout::V3;
    if (o.layout == KfsLayout::Old) {
        if (key) return Usage("--key is for the v3 layout; old-layout banks are self-keyed");
        if (bankSize && ParseNumber(*bankSize, UINT32_MAX) != kfs::kOldSlotSize)
            return Usage("the old layout's bank size is fixed at 65536");
        o.version = ' ';
        if (version) {
            if (*version != " " && *version != "1" && *version != "2")
                return Usage("the old layout has versions \" \", 1 and 2");
            o.version = (*version)[0];
        }
    } else {
        if (version && *version != "3") return Usage("the v3 layout has version 3 only");
        o.version = '3';
        if (bankSize) {
            const auto n = ParseNumber(*bankSize, UINT32_MAX);
            if (!n || *n == 0) return Usage("--bank-size needs a number from 1 to 4294967295");
            o.bankSize = *n;
        }
        if (key) {
            size_t start = 0;
            for (int i = 0; i < 4; ++i) {
                const size_t comma = key->find(',', start);
                if ((i < 3) != (comma != std::string::npos)) return Usage("--key needs four bytes P0,P1,P2,P3");
                const auto b = ParseNumber(key->substr(start, comma - start), 255);
                if (!b) return Usage("--key needs four bytes from 0 to 255");
                o.key[i] = static_cast<uint8_t>(*b);
                start = comma + 1;
            }
        }
    }
    std::vector<uint8_t> image;
    std::string error;
    if (!ReadFile(files[0], image, error)) return Failure(error);
    if (image.size() > UINT32_MAX) return Failure(files[0] + ": an image is at most 4 GiB");
    const KfsPackResult packed = PackContainer(image.data(), static_cast<uint32_t>(image.size()), o);
    if (!packed.ok) return Failure(files[0] + ": " + packed.error);
    if (!WriteFile(files[1], packed.bytes.data(), packed.bytes.size(), error)) return Failure(error);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command");
    const std::string command = argv[1];
    if (command == "info") {
        if (argc == 3) return Info(argv[2], false);
        if (argc == 4 && std::string(argv[2]) == "--json") return Info(argv[3], true);
        return Usage("info takes [--json] FILE");
    }
    if (command == "unpack") {
        if (argc != 4) return Usage("unpack takes FILE and OUT");
        return Unpack(argv[2], argv[3]);
    }
    if (command == "verify") {
        if (argc != 3) return Usage("verify takes FILE");
        return Verify(argv[2]);
    }
    if (command == "pack") return Pack(argc - 2, argv + 2);
    return Usage("unknown command " + command);
}
