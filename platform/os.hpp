// OS services of the runtime core: current directory, environment, clock,
// sleeping. Texts cross this boundary as UTF-8.
#pragma once

#include <optional>
#include <string>

#include "platform/types.hpp"

namespace qel::platform {

std::string get_current_dir();                 // empty when it cannot be read
bool set_current_dir(const std::string& path);
std::optional<std::string> get_env(const std::string& name);
bool set_env(const std::string& name, const std::string& value);
bool unset_env(const std::string& name);

// Sleeps seconds (at least one millisecond).
void wait(double seconds);

// UTC time of day in seconds; with precise, the fraction of the second too.
double get_time(bool precise);

// Packed date: year << 17 | month << 12 | day << 7 | zone. The zone (local
// time only; 0 for UTC) has the hour part in bits 2-6 (bit 6 = negative,
// bits 2-5 the magnitude) and the quarter-hours of the rest in bits 0-1.
u32 get_date(bool utc);
u32 pack_zone(long offset_seconds);

}  // namespace qel::platform
