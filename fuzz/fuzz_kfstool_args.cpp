// kfstool's option parsing on arbitrary argument lists (zero bytes separate
// the arguments): it must give a usable result or a reason, never more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "KfstoolArgs.h"

namespace {

void Check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (size > 0) args.push_back(current);

    const ParsedKfstoolArgs r = ParseKfstoolArgs(args);
    if (!r.ok) {
        Check(!r.error.empty());
        return 0;
    }
    const KfstoolArgs& a = r.args;
    const bool needsOutput = a.command == KfstoolCommand::Unpack || a.command == KfstoolCommand::Pack;
    Check(a.output.empty() || needsOutput);
    Check(!a.builtin || (a.input == "--builtin" && a.command != KfstoolCommand::Pack));
    Check(!a.json || a.command == KfstoolCommand::Info || a.command == KfstoolCommand::Help);
    if (a.command == KfstoolCommand::Pack) {
        const KfsPackOptions& o = a.pack;
        if (o.layout == KfsLayout::Old)
            Check((o.version == ' ' || o.version == '1' || o.version == '2') && o.bankSize == kfs::kOldSlotSize);
        else
            Check(o.version == '3' && o.bankSize != 0);
    }
    // Every argument list that parses names its files among the arguments.
    auto given = [&](const std::string& file) {
        for (const auto& arg : args)
            if (arg == file) return true;
        return false;
    };
    if (a.command != KfstoolCommand::Help && a.command != KfstoolCommand::Version)
        Check(given(a.input) && (!needsOutput || given(a.output)));
    return 0;
}
