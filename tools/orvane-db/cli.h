#pragma once
// The shape of orvane-db's command line. A command's usage line
// ("ARCHIVO N [--seed S]") is the one description of its arguments: parsing,
// the help, the manual page and the completion all read it.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orv::db {

// Exit statuses, as the manual page lists them.
enum Status : int { kDone = 0, kFailed = 1, kWrongUse = 2 };

// The command line was used wrongly: the text says what, and is shown with
// the command's usage line. Exits with kWrongUse.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Invocation {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // by name ("--seed"); a flag's value is empty

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::optional<std::string> value(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
};

// Reads `args` (what follows the command's name) as `usage` describes them.
// In the usage line a word in CAPITALS is an argument, optional inside
// [brackets]; "--name" is an option, which takes a value when a word that is
// neither bracketed apart nor an option follows it ("[--format csv|vcard]",
// "[--dry-run]"). On the command line options go anywhere, as "--name value",
// "--name=value" or a bare flag; "--" ends them. Throws UsageError.
Invocation parseArguments(const std::string& usage, const std::vector<std::string>& args);

// True when `args` ask for help ("--help" or "-h" before any "--").
bool asksForHelp(const std::vector<std::string>& args);

}  // namespace orv::db
