#include "cli/options.hpp"

namespace kelpa::cli {

std::optional<std::string> ParsedArgs::value(std::string_view key) const {
    const auto found = values_.find(std::string(key));
    if (found == values_.end()) return std::nullopt;
    return found->second.back();
}

const std::vector<std::string>& ParsedArgs::values(std::string_view key) const {
    static const std::vector<std::string> none;
    const auto found = values_.find(std::string(key));
    return found == values_.end() ? none : found->second;
}

std::string ParsedArgs::spelling(std::string_view key) const {
    const auto found = spellings_.find(std::string(key));
    return found == spellings_.end() ? std::string(key) : found->second;
}

namespace {

const OptionSpec* find_spec(std::initializer_list<OptionSpec> specs, std::string_view name) {
    for (const OptionSpec& spec : specs)
        for (std::string_view spelling : spec.names)
            if (spelling == name) return &spec;
    return nullptr;
}

// The one option whose long spelling starts with `name` (set in `full`),
// or nothing with `error` set.
const OptionSpec* find_prefix(std::initializer_list<OptionSpec> specs, std::string_view name, std::string& full,
                              std::string& error) {
    const OptionSpec* found = nullptr;
    bool ambiguous = false;
    std::string candidates;
    for (const OptionSpec& spec : specs) {
        for (std::string_view spelling : spec.names) {
            if (!spelling.starts_with("--") || !spelling.starts_with(name)) continue;
            candidates.append(candidates.empty() ? "'" : ", '").append(spelling).append("'");
            if (found == nullptr) {
                found = &spec;
                full = spelling;
            } else if (found != &spec) {
                ambiguous = true;
            }
        }
    }
    if (ambiguous) {
        error = "option '" + std::string(name) + "' is ambiguous; possibilities: " + candidates;
        return nullptr;
    }
    if (found == nullptr) error = "unrecognized option '" + std::string(name) + "'";
    return found;
}

}  // namespace

std::optional<ParsedArgs> parse_args(const std::vector<std::string>& args, std::initializer_list<OptionSpec> specs,
                                     std::string& error, Spelling spelling) {
    ParsedArgs parsed;
    const auto take = [&parsed](const OptionSpec& spec, std::string_view name, std::string value) {
        parsed.values_[std::string(spec.key)].push_back(std::move(value));
        parsed.spellings_[std::string(spec.key)] = std::string(name);
    };
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
        const OptionSpec* spec = find_spec(specs, name);
        std::string full;
        if (spec == nullptr && spelling == Spelling::Getopt && name.starts_with("--")) {
            if (std::string_view("--help").starts_with(name)) {
                parsed.help_ = true;
                continue;
            }
            spec = find_prefix(specs, name, full, error);
            if (spec == nullptr) return std::nullopt;
            name = full;
        } else if (spec == nullptr && spelling == Spelling::Getopt && name[1] != '-') {
            // One letter at a time; one that takes a value takes the rest.
            for (std::size_t at = 1; at < arg.size(); ++at) {
                const std::string letter = std::string("-") + arg[at];
                if (letter == "-h") {
                    parsed.help_ = true;
                    continue;
                }
                const OptionSpec* bundled = find_spec(specs, letter);
                if (bundled == nullptr) {
                    error = "unrecognized option '" + letter + "'" + (arg.size() > 2 ? " in '" + arg + "'" : "");
                    return std::nullopt;
                }
                if (!bundled->takes_value) {
                    take(*bundled, letter, {});
                } else if (at + 1 < arg.size()) {
                    take(*bundled, letter, arg.substr(at + 1));
                    break;
                } else if (i + 1 < args.size()) {
                    take(*bundled, letter, args[++i]);
                } else {
                    error = "option " + letter + " needs a value";
                    return std::nullopt;
                }
            }
            continue;
        }
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
        take(*spec, name, std::move(value));
    }
    return parsed;
}

}  // namespace kelpa::cli
