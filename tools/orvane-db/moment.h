#pragma once
// Moments as orvane-db's history commands read and write them.

#include <cstdint>
#include <optional>
#include <string>

namespace orv::db {

// "2026-12-07 14:30", "2026-12-07T14:30:00", "2026-12-07", "hace 2 horas"
// (segundos, minutos, horas, días, semanas), local time, as unix ms.
std::optional<std::int64_t> parseMoment(const std::string& text, std::int64_t nowMs);
// Unix ms as local "2026-12-07 14:30:05".
std::string showMoment(std::int64_t ms);

}  // namespace orv::db
