// One table per subcommand describes its options; the same table drives the
// parser and the help text.
#pragma once

#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace vistereo::cli {

struct OptionSpec {
    const char* name;       // long name without "--"
    char shortName;         // 0 when there is none
    const char* valueName;  // nullptr for a flag
    const char* help;
    // The value is optional: only --name=VALUE gives one; --name alone
    // takes the empty value (the next argument is never taken).
    bool optionalValue = false;
};

struct ParsedOptions {
    std::map<std::string, std::vector<std::string>> values;  // by long name, in order given
    std::set<std::string> flags;
    std::vector<std::string> positional;  // the arguments that are not options, in order
    std::string error;  // empty when the arguments fit the table

    bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
    // The (last) value of an option, or `fallback`.
    std::string value(const std::string& name, const std::string& fallback = "") const;
};

// Accepts --name VALUE, --name=VALUE, -X VALUE and -XVALUE (an optional
// value only as --name=VALUE), and up to
// `maxPositional` arguments that are not options, before, between or after
// them ("-" alone is one; after "--" every argument is). Options may repeat:
// a single-valued one takes its last value.
ParsedOptions parseOptions(const std::vector<std::string>& args, std::span<const OptionSpec> table,
                           size_t maxPositional = 0);

std::string formatOptionHelp(std::span<const OptionSpec> table);

}  // namespace vistereo::cli
