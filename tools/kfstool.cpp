// kfstool: inspect, unpack, pack and verify KFS firmware containers.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "BuildVersion.h"
#include "CommandLine.h"
#include "ContainerJson.h"
#include "EmbeddedContainer.h"
#include "Firmware.h"
#include "Kfs.h"
#include "KfsRead.h"
#include "KfsWriter.h"
#include "KfstoolArgs.h"
#include "KfstoolFiles.h"
#include "VendorProtocol.h"

namespace {

constexpr int kBad = 1;    // bad container, failed check, unreadable file
constexpr int kUsage = 2;  // bad arguments

int Usage(const std::string& why) {
    std::fprintf(stderr, "kfstool: %s\n%s", why.c_str(), kKfstoolUsage);
    return kUsage;
}

int Failure(const std::string& why) {
    std::fprintf(stderr, "kfstool: %s\n", why.c_str());
    return kBad;
}

// A text with its exact bytes: quoted, so trailing spaces show, with any
// byte that is not printable ASCII written as \xNN.
std::string Quoted(const char* text, size_t length) { return text ? QuotedText(text, length) : "(absent)"; }

// An input path as messages show it: as it is when plain, else quoted, so
// that an empty name, spaces and control characters can be seen.
std::string Shown(const std::string& path) { return path == "-" ? "standard input" : ShownArgument(path); }

// The image as the updater writes it: in 16 KiB pages, and an image of no whole number of them not at all.
std::string PagesText(uint32_t length) {
    std::string text = std::to_string(length >> kPageShift) + " of 16 KiB";
    if (length % kPageSize != 0)
        text += " and " + std::to_string(length % kPageSize) +
                " bytes more (no whole number of pages: the updater refuses it)";
    return text;
}

std::string SizeText(size_t bytes) {
    return std::to_string(bytes >> 20) + " MiB (" + std::to_string(bytes) + " bytes)";
}

// Opens FILE for reading, saying why not. A regular file's size is known.
std::FILE* Open(const std::string& path, std::optional<uint64_t>& size, std::string& error) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (path != "-" && !ec && std::filesystem::is_directory(status)) {
        error = "cannot read " + Shown(path) + ": it is a directory";
        return nullptr;
    }
    if (path != "-" && !ec && std::filesystem::is_regular_file(status)) {
        const auto bytes = std::filesystem::file_size(path, ec);
        if (!ec) size = bytes;
    }
    std::FILE* f = OpenInput(path);
    if (!f) error = "cannot read " + Shown(path) + ": " + std::strerror(errno);
    return f;
}

void Close(std::FILE* f) {
    if (f != stdin) std::fclose(f);
}

std::string Rejected(const std::string& path, KfsRejection why, const std::vector<uint8_t>& container) {
    std::string text = Shown(path) + ": rejected: " + RejectionText(why);
    if (why == KfsRejection::BadVersion) {
        const unsigned char byte = container[kfs::kVersionOffset];
        char found[64];
        std::snprintf(found, sizeof found, " 0x%02X", byte);
        text += found;
        if (byte >= 0x20 && byte < 0x7F) text += std::string(" (\"") + static_cast<char>(byte) + "\")";
        text += " at offset 24; known are \" \", \"1\", \"2\" and \"3\"";
    }
    return text;
}

// Reads a container from FILE, or takes the built-in one.
bool ReadContainerFile(const std::string& path, bool builtin, std::vector<uint8_t>& bytes, std::string& error) {
    if (builtin) {
        bytes.assign(EmbeddedContainerData(), EmbeddedContainerData() + EmbeddedContainerSize());
        return true;
    }
    std::optional<uint64_t> size;
    std::FILE* f = Open(path, size, error);
    if (!f) return false;
    const ContainerRead r = ReadContainer(f, size, bytes);
    Close(f);
    if (r.rejection != KfsRejection::None) {
        error = Rejected(path, r.rejection, bytes);
        return false;
    }
    if (r.outcome == ReadOutcome::Failed) error = "cannot read " + Shown(path) + ": " + std::strerror(r.error);
    if (r.outcome == ReadOutcome::TooLarge)
        error = Shown(path) + ": rejected: it is larger than " + SizeText(kfs::kMaxContainerSize) +
                ", the most a container of a 64 MiB image takes";
    return r.outcome == ReadOutcome::Done;
}

// Reads a flat image to pack.
bool ReadImageFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::optional<uint64_t> size;
    std::FILE* f = Open(path, size, error);
    if (!f) return false;
    const ReadOutcome r = size && *size > kfs::kMaxImageLength ? ReadOutcome::TooLarge
                                                                 : ReadAtMost(f, kfs::kMaxImageLength, bytes);
    const int readError = errno;
    Close(f);
    if (r == ReadOutcome::Failed) error = "cannot read " + Shown(path) + ": " + std::strerror(readError);
    if (r == ReadOutcome::TooLarge)
        error = Shown(path) + ": an image is at most " + SizeText(kfs::kMaxImageLength) +
                ", far more than a drive's flash holds";
    return r == ReadOutcome::Done;
}

bool Write(const std::string& path, const uint8_t* data, size_t size, std::string& error) {
    std::string reason;
    if (WriteOutput(path, data, size, reason)) return true;
    error = "cannot write " + (path == "-" ? "standard output" : Shown(path)) + ": " + reason;
    return false;
}

struct Loaded {
    std::vector<uint8_t> container;
    FirmwareImage image;
    SKFSParameter parameter;
};

// Reads and loads FILE; on failure prints one line and returns false.
bool Load(const std::string& path, bool builtin, Loaded& out) {
    std::string error;
    if (!ReadContainerFile(path, builtin, out.container, error)) return Failure(error), false;
    KfsRejection why = KfsRejection::None;
    if (!LoadContainer(out.container.data(), out.container.size(), out.image, out.parameter, &why)) {
        Failure(Rejected(path, why, out.container));
        return false;
    }
    return true;
}

int Info(const std::string& path, bool builtin, bool json) {
    Loaded l;
    if (!Load(path, builtin, l)) return kBad;
    const ImageIdentity id = ReadIdentity(l.image);
    const SKFSParameter& p = l.parameter;
    const char version = static_cast<char>(l.container[kfs::kVersionOffset]);
    const unsigned scrambleMode = l.container[kfs::kScrambleModeOffset];
    if (json) {
        std::printf("{\"formatVersion\":%d,\"programVersion\":%s,%s,\"pages\":%u}\n", kJsonFormatVersion,
                    JsonString(BuildVersion(), std::strlen(BuildVersion())).c_str(),
                    ContainerJsonMembers(l.container.data(), p, l.image, id).c_str(), l.image.length >> kPageShift);
        return 0;
    }
    // Labels padded to one column; the container's version and the
    // firmware's are named apart.
    auto label = [](const char* text) { std::printf("%-19s", text); };
    label("container");
    std::printf("%s (%zu bytes)\n", Shown(path).c_str(), l.container.size());
    label("container version");
    std::printf("\"%c\" (%s layout)\n", version, version == '3' ? "version-3" : "old");
    label("scrambleMode");
    std::printf("%u\n", scrambleMode);
    label("option1..3");
    std::printf("%u %u %u\n", p.option1, p.option2, p.option3);
    label("value1, value2");
    std::printf("0x%08X 0x%08X\n", static_cast<uint32_t>(p.value1), static_cast<uint32_t>(p.value2));
    label("bank size");
    std::printf("%u\n", p.bankSize);
    label("banks");
    std::printf("%zu\n", p.bankLengths.size());
    for (size_t i = 0; i < p.bankLengths.size(); ++i) {
        const std::string bank = "  bank " + std::to_string(i);
        label(bank.c_str());
        std::printf("%u stored bytes\n", p.bankLengths[i]);
    }
    label("reserve blocks");
    std::printf("%zu\n", p.reserveBlocks.size());
    for (const auto& b : p.reserveBlocks) std::printf("  offset 0x%08X length 0x%08X\n", b.offset, b.length);
    label("image length");
    std::printf("%u\n", l.image.length);
    label("pages");
    std::printf("%s\n", PagesText(l.image.length).c_str());
    label("stored checksum");
    std::printf("%04X\n", p.checksum);
    label("image checksum");
    std::printf("%04X%s\n", id.checksum, id.checksum == p.checksum ? "" : "  (differs)");
    label("drive name");
    std::printf("%s\n", Quoted(id.driveName.get(), firmware::kDriveNameLength).c_str());
    label("firmware version");
    std::printf("%s\n", Quoted(id.version.get(), firmware::kVersionLength).c_str());
    label("hardware ID");
    std::printf("%s\n", Quoted(id.hardwareId.get(), firmware::kHardwareIdLength).c_str());
    return 0;
}

int Unpack(const std::string& path, bool builtin, const std::string& out) {
    Loaded l;
    if (!Load(path, builtin, l)) return kBad;
    std::string error;
    if (!Write(out, l.image.data.get(), l.image.length, error)) return Failure(error);
    return 0;
}

// Says what it checked: a bank size changed in the header alone adds zeros to every slot,
// which neither the loader nor the checksum can see; only the page count shows it.
int Verify(const std::string& path, bool builtin) {
    Loaded l;
    if (!Load(path, builtin, l)) return kBad;
    const ImageIdentity id = ReadIdentity(l.image);
    const std::string shown = Shown(path);
    if (id.checksum != l.parameter.checksum) {
        char sums[80];
        std::snprintf(sums, sizeof sums, "stored checksum %04X differs from the image checksum %04X",
                      l.parameter.checksum, id.checksum);
        return Failure(shown + ": " + sums);
    }
    if (!id.driveName) return Failure(shown + ": the image has no drive name (needs exactly one INQUIRY block)");
    if (!id.version) return Failure(shown + ": the image has no firmware version (needs exactly one INQUIRY block)");
    if (!id.hardwareId) return Failure(shown + ": the image has no hardware ID");
    if (!IsWholePages(l.image.length))
        return Failure(shown + ": the image is " + std::to_string(l.image.length) +
                       " bytes, no whole number of 16 KiB pages: the updater refuses it");
    const SKFSParameter& p = l.parameter;
    std::printf("%s: OK\n", shown.c_str());
    std::printf("  loads: container version \"%c\", %zu banks of %u bytes, image %u bytes\n",
                static_cast<char>(l.container[kfs::kVersionOffset]), p.bankLengths.size(), p.bankSize, l.image.length);
    std::printf("  pages: %s\n", PagesText(l.image.length).c_str());
    std::printf("  checksum: stored %04X, the image's the same\n", p.checksum);
    std::printf("  identity: drive name %s, firmware version %s, hardware ID %s\n",
                Quoted(id.driveName.get(), firmware::kDriveNameLength).c_str(),
                Quoted(id.version.get(), firmware::kVersionLength).c_str(),
                Quoted(id.hardwareId.get(), firmware::kHardwareIdLength).c_str());
    std::printf("  not checked: that the bank size and the page count are the ones meant; the checksum, a sum of "
                "the bytes, does not change when zeros are added\n");
    return 0;
}

int Pack(const KfstoolArgs& a) {
    std::vector<uint8_t> image;
    std::string error;
    if (!ReadImageFile(a.input, image, error)) return Failure(error);
    const KfsPackResult packed = PackContainer(image.data(), static_cast<uint32_t>(image.size()), a.pack);
    if (!packed.ok) return Failure(Shown(a.input) + ": " + packed.error);
    if (!Write(a.output, packed.bytes.data(), packed.bytes.size(), error)) return Failure(error);
    return 0;
}

int Run(const KfstoolArgs& a) {
    switch (a.command) {
        case KfstoolCommand::Help: std::fputs(kKfstoolUsage, stdout); return 0;
        case KfstoolCommand::Version: std::printf("kfstool %s\n", BuildVersion()); return 0;
        case KfstoolCommand::Info: return Info(a.input, a.builtin, a.json);
        case KfstoolCommand::Unpack: return Unpack(a.input, a.builtin, a.output);
        case KfstoolCommand::Pack: return Pack(a);
        case KfstoolCommand::Verify: return Verify(a.input, a.builtin);
    }
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedKfstoolArgs parsed = ParseKfstoolArgs(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok) return Usage(parsed.error);
    int status = Run(parsed.args);
    // What was printed must have arrived: a full disk or a closed output is a failure.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int error = errno;
        std::fprintf(stderr, "kfstool: cannot write standard output: %s\n", std::strerror(error));
        status = kBad;
    }
    return status;
}
