#pragma once
// orvane-db's commands, all in one form: a command reads its Invocation
// (parsed as its usage line says), writes to the Console and returns the
// exit status (kDone, kFailed). A wrong use throws UsageError, the engine's
// failures EngineError, the tool's own (a file that cannot be read or
// written, one in the way) ToolError. Messages to the user are Spanish.
// Each command, or small family of them, has a file of its own; the table
// (table.cpp) lists them for the help, the manual page and the completion.

#include <ostream>
#include <span>
#include <stdexcept>
#include <string_view>

#include "tools/orvane-db/cli.h"

namespace orv::db {

class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Where messages go: `out` for results, `err` for problems; `progress` shows
// the progress line (only meant for a terminal).
struct Console {
    std::ostream& out;
    std::ostream& err;
    bool progress = false;
};

using CommandSig = int(const Invocation&, const Console&);
using CommandFn = CommandSig*;

// A command that works through the whole book yields the processor to the
// windows and to a list run meanwhile (see store/background.h).
enum class Pace { kAtOnce, kInBackground };

struct Command {
    const char* name;
    const char* usage;        // what follows "orvane-db NAME"
    const char* description;  // one or more lines
    CommandFn run;
    Pace pace = Pace::kAtOnce;
};

// Every command, in the help's order.
std::span<const Command> commandTable();
const Command* findCommand(std::string_view name);

// The commands, each family in its file: create.cpp (init, demo), list.cpp,
// check.cpp (check, reindex), import.cpp, export.cpp, history.cpp (history,
// restore, undo), backup.cpp, forget.cpp; sync.cpp is in a library of its
// own (sync.h).
CommandSig initCommand, demoCommand, listCommand, checkCommand, reindexCommand, importCommand,
    exportCommand, historyCommand, restoreCommand, undoCommand, backupCommand, forgetCommand;

}  // namespace orv::db
