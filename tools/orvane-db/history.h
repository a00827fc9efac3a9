#pragma once
// orvane-db history, restore, undo, backup and forget: looking back at every
// change kept in the book, bringing contacts, or the whole book, back, and
// erasing a person for good.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/orvane-db/cli.h"
#include "tools/orvane-db/commands.h"

namespace orv::db {

int historyCommand(const Invocation& a, const Console& con);
int restoreCommand(const Invocation& a, const Console& con);
int undoCommand(const Invocation& a, const Console& con);
int backupCommand(const Invocation& a, const Console& con);
int forgetCommand(const Invocation& a, const Console& con);

// "2026-12-07 14:30", "2026-12-07T14:30:00", "2026-12-07", "hace 2 horas"
// (segundos, minutos, horas, días, semanas), local time, as unix ms.
std::optional<std::int64_t> parseMoment(const std::string& text, std::int64_t nowMs);
// Unix ms as local "2026-12-07 14:30:05".
std::string showMoment(std::int64_t ms);

}  // namespace orv::db
