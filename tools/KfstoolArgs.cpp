#include "KfstoolArgs.h"

#include <optional>

const char kKfstoolUsage[] =
    "usage: kfstool info [--json] FILE\n"
    "       kfstool unpack FILE OUT\n"
    "       kfstool pack --layout old|v3 [--version \" \"|1|2] [--scramble] [--key P0,P1,P2,P3]\n"
    "                    [--bank-size N] IMAGE OUT\n"
    "       kfstool verify FILE\n"
    "       kfstool --help\n"
    "       kfstool --version\n"
    "FILE may be --builtin: the container compiled into this program; FILE or IMAGE \"-\"\n"
    "reads standard input, OUT \"-\" writes standard output. Numbers are decimal or 0x\n"
    "hexadecimal. After \"--\" every argument is a file name.\n";

namespace {

ParsedKfstoolArgs Error(std::string why) {
    ParsedKfstoolArgs r;
    r.error = std::move(why);
    return r;
}

// Decimal or 0x hexadecimal, at most `max`; a leading 0 is not octal.
std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t start = hex ? 2 : 0;
    const unsigned base = hex ? 16 : 10;
    if (text.size() == start) return std::nullopt;
    uint64_t v = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        v = v * base + digit;
        if (v > max) return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

bool IsOption(const std::string& a) { return a.size() > 1 && a[0] == '-'; }

// The pack options, checked against the layout; empty when they are fine.
std::string PackOptions(KfsPackOptions& o, const std::string& layout, const std::optional<std::string>& version,
                        const std::optional<std::string>& key, const std::optional<std::string>& bankSize) {
    if (layout != "old" && layout != "v3") return "--layout is old or v3, not \"" + layout + "\"";
    o.layout = layout == "old" ? KfsLayout::Old : KfsLayout::V3;
    if (o.layout == KfsLayout::Old) {
        if (key) return "--key is for the v3 layout; old-layout banks are self-keyed";
        if (bankSize && ParseNumber(*bankSize, UINT32_MAX) != kfs::kOldSlotSize)
            return "the old layout's bank size is fixed at 65536";
        o.version = ' ';
        if (version) {
            if (*version != " " && *version != "1" && *version != "2")
                return "the old layout has versions \" \", 1 and 2";
            o.version = (*version)[0];
        }
        return "";
    }
    if (version && *version != "3") return "the v3 layout has version 3 only";
    o.version = '3';
    if (bankSize) {
        const auto n = ParseNumber(*bankSize, UINT32_MAX);
        if (!n || *n == 0) return "--bank-size needs a number from 1 to 4294967295";
        o.bankSize = *n;
    }
    if (key) {
        size_t start = 0;
        for (int i = 0; i < 4; ++i) {
            const size_t comma = key->find(',', start);
            if ((i < 3) != (comma != std::string::npos)) return "--key needs four bytes P0,P1,P2,P3";
            const auto b = ParseNumber(key->substr(start, comma - start), 255);
            if (!b) return "--key needs four bytes from 0 to 255 (decimal or 0x hexadecimal)";
            o.key[i] = static_cast<uint8_t>(*b);
            start = comma + 1;
        }
    }
    return "";
}

}  // namespace

ParsedKfstoolArgs ParseKfstoolArgs(const std::vector<std::string>& args) {
    ParsedKfstoolArgs r;
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            r.ok = true;
            return r;
        }
    }
    if (args.empty()) return Error("no command");
    // Only in the command's place: pack has a --version of its own.
    if (args[0] == "--version") {
        if (args.size() > 1) return Error("--version takes nothing after it");
        r.ok = true;
        r.args.command = KfstoolCommand::Version;
        return r;
    }
    const std::string& command = args[0];
    if (command != "info" && command != "unpack" && command != "pack" && command != "verify")
        return Error("unknown command " + command);
    std::optional<std::string> layout, version, key, bankSize;
    bool scramble = false, json = false, filesOnly = false;
    std::vector<std::string> files;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::optional<std::string>& slot) {
            if (i + 1 >= args.size()) return false;
            slot = args[++i];
            return true;
        };
        if (filesOnly || a == "-" || a == "--builtin" || !IsOption(a)) {
            files.push_back(a);
        } else if (a == "--") {
            filesOnly = true;
        } else if (command == "info" && a == "--json") {
            json = true;
        } else if (command != "pack") {
            return Error("unknown option " + a + " for " + command);
        } else if (a == "--layout") {
            if (!value(layout)) return Error("--layout needs old or v3");
        } else if (a == "--version") {
            if (!value(version)) return Error("--version needs \" \", 1 or 2");
        } else if (a == "--key") {
            if (!value(key)) return Error("--key needs P0,P1,P2,P3");
        } else if (a == "--bank-size") {
            if (!value(bankSize)) return Error("--bank-size needs a number");
        } else if (a == "--scramble") {
            scramble = true;
        } else {
            return Error("unknown option " + a + " for pack");
        }
    }

    KfstoolArgs& out = r.args;
    out.json = json;
    if (command == "info" || command == "verify") {
        out.command = command == "info" ? KfstoolCommand::Info : KfstoolCommand::Verify;
        if (files.size() != 1) return Error(command + (json ? " --json" : "") + " takes one FILE");
        out.input = files[0];
    } else if (command == "unpack") {
        out.command = KfstoolCommand::Unpack;
        if (files.size() != 2) return Error("unpack takes FILE and OUT");
        out.input = files[0];
        out.output = files[1];
    } else {
        out.command = KfstoolCommand::Pack;
        if (!layout) return Error("--layout old or --layout v3 is required");
        out.pack.scramble = scramble;
        if (std::string why = PackOptions(out.pack, *layout, version, key, bankSize); !why.empty()) return Error(why);
        if (files.size() != 2) return Error("pack takes IMAGE and OUT");
        if (files[0] == "--builtin") return Error("--builtin is a container, not an IMAGE to pack");
        out.input = files[0];
        out.output = files[1];
    }
    if (out.output == "--builtin") return Error("--builtin can only be read, not written");
    r.ok = true;
    return r;
}
