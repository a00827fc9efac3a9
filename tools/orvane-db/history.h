#pragma once
// orvane-db history, restore, undo and backup: looking back at every change
// kept in the book and bringing contacts, or the whole book, back.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/orvane-db/commands.h"

namespace orv::db {

// Runs args[0] when it is one of these commands (its exit status), else nullopt.
std::optional<int> historyCommands(const std::vector<std::string>& args, const Console& con);

// "2026-12-07 14:30", "2026-12-07T14:30:00", "2026-12-07", "hace 2 horas"
// (segundos, minutos, horas, días, semanas), local time, as unix ms.
std::optional<std::int64_t> parseMoment(const std::string& text, std::int64_t nowMs);
// Unix ms as local "2026-12-07 14:30:05".
std::string showMoment(std::int64_t ms);

}  // namespace orv::db
