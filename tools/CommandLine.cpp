#include "CommandLine.h"

#include <cstdio>
#include <cstring>

namespace {

bool LooksLikeOption(const std::string& a) { return a.size() > 1 && a[0] == '-'; }

}  // namespace

CommandLine ScanCommandLine(const std::vector<std::string>& args, size_t first, const std::vector<OptionRule>& rules) {
    CommandLine r;
    auto fault = [&r](const std::string& why) {
        if (r.error.empty()) r.error = why;
    };
    bool optionsOver = false;
    for (size_t i = first; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsOver || !LooksLikeOption(a)) {
            r.operands.push_back({a, false});
            continue;
        }
        if (a == "--") {
            optionsOver = true;
            continue;
        }
        const size_t equals = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
        const std::string name = a.substr(0, equals);
        const OptionRule* rule = nullptr;
        for (const OptionRule& candidate : rules)
            if (name == candidate.name) rule = &candidate;
        if (!rule) {
            fault("unknown option " + ShownArgument(name));
            continue;
        }
        std::optional<std::string> value;
        if (equals != std::string::npos) value = a.substr(equals + 1);
        switch (rule->value) {
            case OptionValue::Operand:
                if (value) {
                    fault(name + " takes no value");
                    continue;
                }
                r.operands.push_back({name, true});
                continue;
            case OptionValue::None:
                if (value) fault(name + " takes no value");
                value.reset();
                break;
            case OptionValue::Required:
                if (!value && i + 1 < args.size() && !LooksLikeOption(args[i + 1])) value = args[++i];
                if (!value) {
                    fault(name + " needs " + rule->needs);
                    continue;
                }
                break;
            case OptionValue::Attached:
                break;
        }
        r.options[name] = value;
    }
    return r;
}

std::string QuotedText(const char* text, size_t length) {
    std::string shown = "\"";
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", c);
            shown += code;
        }
    }
    return shown + "\"";
}

std::string ShownArgument(const std::string& text) {
    bool plain = !text.empty();
    for (unsigned char c : text)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          std::strchr("/\\._-+,:=@%", c) != nullptr);
    return plain ? text : QuotedText(text.data(), text.size());
}
