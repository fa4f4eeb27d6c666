// Reading a component's release date ("disponibilizacao") as the catalogues write it: day, month
// and year, optionally followed by hours and minutes, optionally seconds, whatever the locale of
// the machine. Pure functions; any thread.
#pragma once

#include <ctime>
#include <optional>
#include <string_view>

namespace mirelo_download {

// "dd/mm/yyyy", "dd/mm/yyyy hh:mm" or "dd/mm/yyyy hh:mm:ss" (day, month, hour, minute and second
// may have one digit; blanks around the text are ignored) as a local time. nullopt when the text
// has another shape or names no real date or time (31/02/2024, 24:00).
std::optional<std::time_t> LeDisponibilizacao(std::string_view texto);

}  // namespace mirelo_download
