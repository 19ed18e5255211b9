#include "options.hpp"

#include <charconv>

namespace kelpa::cli {

std::optional<std::string> ParsedArgs::value(std::string_view key) const {
    const auto found = values_.find(std::string(key));
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::string ParsedArgs::spelling(std::string_view key) const {
    const auto found = spellings_.find(std::string(key));
    return found == spellings_.end() ? std::string(key) : found->second;
}

std::optional<ParsedArgs> parse_args(const std::vector<std::string>& args, std::initializer_list<OptionSpec> specs,
                                     std::string& error) {
    ParsedArgs parsed;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            parsed.positionals_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            parsed.help_ = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string> attached;
        if (const std::size_t equals = name.find('='); name.starts_with("--") && equals != std::string_view::npos) {
            attached = std::string(name.substr(equals + 1));
            name = name.substr(0, equals);
        }
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& candidate : specs)
            for (std::string_view spelling : candidate.names)
                if (spelling == name) spec = &candidate;
        if (spec == nullptr) {
            error = "unrecognized option '" + std::string(name) + "'";
            return std::nullopt;
        }
        std::string value;
        if (spec->takes_value) {
            if (attached) {
                value = *attached;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                error = "option " + std::string(name) + " needs a value";
                return std::nullopt;
            }
        } else if (attached) {
            error = "option " + std::string(name) + " takes no value";
            return std::nullopt;
        }
        parsed.values_[std::string(spec->key)] = std::move(value);
        parsed.spellings_[std::string(spec->key)] = std::string(name);
    }
    return parsed;
}

std::optional<std::size_t> parse_positive(std::string_view text) {
    std::size_t value = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (problem != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

}  // namespace kelpa::cli
