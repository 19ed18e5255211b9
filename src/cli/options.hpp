// The command line of one command: options in any order with the
// positional arguments.
//
// Each option has one or more spellings ("-n", "--length"); an option that
// takes a value takes the next argument, or the text after '=' in the long
// form ("--length=80"). By default a spelling matches only whole ("-split"
// is its own option, never "-s" and junk). With Spelling::Getopt, for a
// command whose short options are all one letter, an argument that is no
// spelling is read as getopt reads it: one-letter options bundled ("-ic"),
// a value attached to the last of them ("-n80", "-ochr2.fa"), and a long
// option cut short to a prefix only it has ("--rev"). "--" ends the
// options; "-" alone is a positional argument (standard input). "-h" and
// "--help" ask for help.
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelpa::cli {

struct OptionSpec {
    std::string_view key;                          // what the command asks for
    std::initializer_list<std::string_view> names;  // its spellings
    bool takes_value = false;
};

enum class Spelling { Whole, Getopt };

class ParsedArgs {
public:
    bool has(std::string_view key) const { return values_.count(std::string(key)) != 0; }
    // The value of an option (the last one given), or nothing.
    std::optional<std::string> value(std::string_view key) const;
    // Every value given to an option, in the order given.
    const std::vector<std::string>& values(std::string_view key) const;
    // The spelling the user wrote for `key`, for messages.
    std::string spelling(std::string_view key) const;
    const std::vector<std::string>& positionals() const { return positionals_; }
    bool help() const { return help_; }

private:
    friend std::optional<ParsedArgs> parse_args(const std::vector<std::string>&, std::initializer_list<OptionSpec>,
                                                std::string&, Spelling);
    std::map<std::string, std::vector<std::string>> values_;
    std::map<std::string, std::string> spellings_;
    std::vector<std::string> positionals_;
    bool help_ = false;
};

// The arguments after the command's name; nothing, with `error` set, for an
// unknown option or a missing value.
std::optional<ParsedArgs> parse_args(const std::vector<std::string>& args, std::initializer_list<OptionSpec> specs,
                                     std::string& error, Spelling spelling = Spelling::Whole);

}  // namespace kelpa::cli
