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

using CommandFn = int (*)(const Invocation&, const Console&);

struct Command {
    const char* name;
    const char* usage;        // what follows "orvane-db NAME"
    const char* description;  // one or more lines
    CommandFn run;
};

// Every command, in the help's order.
std::span<const Command> commandTable();
const Command* findCommand(std::string_view name);

// create.cpp: a new book, empty or of generated contacts.
int initCommand(const Invocation& a, const Console& con);
int demoCommand(const Invocation& a, const Console& con);
// list.cpp
int listCommand(const Invocation& a, const Console& con);
// check.cpp: what is wrong with a book, and its sort keys made anew.
int checkCommand(const Invocation& a, const Console& con);
int reindexCommand(const Invocation& a, const Console& con);
// import.cpp, export.cpp
int importCommand(const Invocation& a, const Console& con);
int exportCommand(const Invocation& a, const Console& con);
// history.cpp: the changes kept, and contacts or the whole book brought back.
int historyCommand(const Invocation& a, const Console& con);
int restoreCommand(const Invocation& a, const Console& con);
int undoCommand(const Invocation& a, const Console& con);
// backup.cpp, forget.cpp
int backupCommand(const Invocation& a, const Console& con);
int forgetCommand(const Invocation& a, const Console& con);
// sync.cpp, in a library of its own (sync.h): syncCommand.

}  // namespace orv::db
