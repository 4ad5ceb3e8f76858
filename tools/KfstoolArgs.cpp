#include "KfstoolArgs.h"

#include <optional>

#include "CommandLine.h"

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
    "hexadecimal. A later option replaces an earlier one; a value that begins with \"-\" is\n"
    "given as --option=VALUE. After \"--\" every argument is a file name (--builtin too).\n";

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

// The pack options, checked against the layout; empty when they are fine.
std::string PackOptions(KfsPackOptions& o, const std::string& layout, const std::optional<std::string>& version,
                        const std::optional<std::string>& key, const std::optional<std::string>& bankSize) {
    if (layout != "old" && layout != "v3") return "--layout is old or v3, not " + QuotedText(layout.data(), layout.size());
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
    if (args.empty()) return Error("no command");
    // Only in the command's place: pack has a --version of its own.
    if (args[0] == "--version") {
        if (args.size() > 1) return Error("--version takes nothing after it");
        r.ok = true;
        r.args.command = KfstoolCommand::Version;
        return r;
    }
    const std::string& command = args[0];
    const bool known = command == "info" || command == "unpack" || command == "pack" || command == "verify";
    std::vector<OptionRule> rules = {{"--help", OptionValue::None}, {"-h", OptionValue::None}};
    if (command == "info") rules.push_back({"--json", OptionValue::None});
    if (command == "pack") {
        rules.push_back({"--layout", OptionValue::Required, "old or v3"});
        rules.push_back({"--version", OptionValue::Required, "\" \", 1 or 2"});
        rules.push_back({"--key", OptionValue::Required, "P0,P1,P2,P3"});
        rules.push_back({"--bank-size", OptionValue::Required, "a number"});
        rules.push_back({"--scramble", OptionValue::None});
    }
    rules.push_back({"--builtin", OptionValue::Operand});
    // An unknown command still lets --help through.
    const CommandLine line = ScanCommandLine(args, known ? 1 : 0, rules);
    if (line.Has("--help") || line.Has("-h")) {
        r.ok = true;
        return r;
    }
    if (!known) return Error("unknown command " + ShownArgument(command));
    if (!line.error.empty()) return Error(line.error + " (" + command + ")");
    auto option = [&line](const char* name) {
        const auto it = line.options.find(name);
        return it == line.options.end() ? std::nullopt : it->second;
    };
    const auto& files = line.operands;

    KfstoolArgs& out = r.args;
    out.json = line.Has("--json");
    if (command == "info" || command == "verify") {
        out.command = command == "info" ? KfstoolCommand::Info : KfstoolCommand::Verify;
        if (files.size() != 1) return Error(command + (out.json ? " --json" : "") + " takes one FILE");
        out.input = files[0].text;
        out.builtin = files[0].word;
    } else if (command == "unpack") {
        out.command = KfstoolCommand::Unpack;
        if (files.size() != 2) return Error("unpack takes FILE and OUT");
        if (files[1].word) return Error("--builtin can only be read, not written");
        out.input = files[0].text;
        out.builtin = files[0].word;
        out.output = files[1].text;
    } else {
        out.command = KfstoolCommand::Pack;
        const auto layout = option("--layout");
        if (!layout) return Error("--layout old or --layout v3 is required");
        out.pack.scramble = line.Has("--scramble");
        if (std::string why = PackOptions(out.pack, *layout, option("--version"), option("--key"),
                                          option("--bank-size"));
            !why.empty())
            return Error(why);
        if (files.size() != 2) return Error("pack takes IMAGE and OUT");
        if (files[0].word) return Error("--builtin is a container, not an IMAGE to pack");
        if (files[1].word) return Error("--builtin can only be read, not written");
        out.input = files[0].text;
        out.output = files[1].text;
    }
    r.ok = true;
    return r;
}
