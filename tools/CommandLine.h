// The one option rule of kfstool and updater: a later option replaces an
// earlier one, an option that needs a value never takes the next option as
// it, and "--" ends the options. Written out here rather than taken from
// getopt_long, which lets a value be the next option and changes with
// POSIXLY_CORRECT and the platform's C library.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

enum class OptionValue {
    None,      // --yes
    Required,  // --device PATH or --device=PATH
    Attached,  // --simulate or --simulate=CASE: a value only after "="
    Operand,   // --builtin: stands in for an operand, but only before "--"
};

struct OptionRule {
    const char* name;
    OptionValue value;
    const char* needs = "a value";  // what a Required option's message says it needs
};

struct CommandLine {
    // The options given, each with its last value (none for an option given without one).
    std::map<std::string, std::optional<std::string>> options;
    struct Operand {
        std::string text;
        bool word = false;  // an Operand option, not a file name
    };
    std::vector<Operand> operands;
    std::string error;  // the first fault, empty when none; scanning goes on past it

    bool Has(const std::string& name) const { return options.count(name) != 0; }
};

// Scans args[first..] by the given rules; "-" alone is an operand.
CommandLine ScanCommandLine(const std::vector<std::string>& args, size_t first, const std::vector<OptionRule>& rules);

// `length` bytes of `text` in double quotes, every byte that is not printable ASCII (and the
// quote and backslash themselves) as \xNN.
std::string QuotedText(const char* text, size_t length);

// An argument as messages show it: as it is when plain, else in double quotes with every byte
// that is not printable ASCII (a line end, an escape sequence) as \xNN, so that an empty or odd
// argument can be seen and cannot forge a line of its own.
std::string ShownArgument(const std::string& text);
