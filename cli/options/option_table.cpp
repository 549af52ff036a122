#include "cli/options/option_table.h"

#include <sstream>

namespace vistereo::cli {

std::string ParsedOptions::value(const std::string& name, const std::string& fallback) const {
    const auto it = values.find(name);
    return it == values.end() || it->second.empty() ? fallback : it->second.back();
}

ParsedOptions parseOptions(const std::vector<std::string>& args, std::span<const OptionSpec> table,
                           size_t maxPositional) {
    ParsedOptions parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--" && !optionsEnded) {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (parsed.positional.size() == maxPositional) {
                parsed.error = "unexpected argument '" + arg + "'";
                return parsed;
            }
            parsed.positional.push_back(arg);
            continue;
        }
        const OptionSpec* entry = nullptr;
        std::string inlineValue;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
            std::string name = arg.substr(2);
            if (const size_t eq = name.find('='); eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name = name.substr(0, eq);
                hasInline = true;
            }
            for (const OptionSpec& s : table)
                if (name == s.name) entry = &s;
        } else if (arg.size() >= 2 && arg[0] == '-' && arg[1] != '-') {
            for (const OptionSpec& s : table)
                if (s.shortName == arg[1]) entry = &s;
            if (entry && arg.size() > 2) {
                inlineValue = arg.substr(2);
                hasInline = true;
            }
        } else {
            parsed.error = "unexpected argument '" + arg + "'";
            return parsed;
        }
        if (!entry) {
            parsed.error = "unknown option '" + arg + "'";
            return parsed;
        }
        if (!entry->valueName) {
            if (hasInline) {
                parsed.error = "option --" + std::string(entry->name) + " takes no value";
                return parsed;
            }
            parsed.flags.insert(entry->name);
            continue;
        }
        if (!hasInline && entry->optionalValue) {
            inlineValue.clear();
        } else if (!hasInline) {
            if (i + 1 >= args.size()) {
                parsed.error = "option --" + std::string(entry->name) + " needs a value (" + entry->valueName + ")";
                return parsed;
            }
            inlineValue = args[++i];
        }
        // A repeated option adds a value; value() takes the last one.
        parsed.values[entry->name].push_back(inlineValue);
    }
    return parsed;
}

std::string formatOptionHelp(std::span<const OptionSpec> table) {
    std::ostringstream out;
    for (const OptionSpec& s : table) {
        std::string left = "  ";
        left += s.shortName ? std::string("-") + s.shortName + ", " : "    ";
        left += "--" + std::string(s.name);
        if (s.valueName) left += (s.optionalValue ? "[=" : " ") + std::string(s.valueName) + (s.optionalValue ? "]" : "");
        out << left;
        out << (left.size() < 28 ? std::string(28 - left.size(), ' ') : "\n" + std::string(28, ' '));
        out << s.help << "\n";
    }
    return out.str();
}

}  // namespace vistereo::cli
