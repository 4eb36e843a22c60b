// OS services of the runtime core: current directory, environment, clock,
// sleeping. Texts cross this boundary as UTF-8.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// The current calendar date and time of day, read from one clock reading so
// that the date and the time always agree: local (with the zone's offset
// from UTC, daylight saving included) or UTC.
struct DateTime {
  i32 year, month, day;  // month 1-12, day 1-31
  double seconds;        // local time of day, with the fraction of the second
  long offset;           // seconds east of UTC (0 for UTC)
};
DateTime now(bool utc);

// The machine's architecture as the OS descriptions name it: x86-64, ARM64,
// x86-32, ARM, or the kernel's own word.
std::string arch_name();

// Every environment variable as (name, value), split at the first "=" that
// is not the entry's first character.
std::vector<std::pair<std::string, std::string>> environment();

// The command line of the process, whole: its words joined by spaces, a word
// holding a blank, a quote or a backslash written between double quotes
// (with those two escaped by a backslash), an empty word as "".
std::string command_line();

// The OS description: the distribution's name (from /etc/os-release, else
// "Linux"), the architecture word, the kernel release's version numbers and
// the number that follows them (its build, 0 when there is none).
struct OsInfo {
  std::string name;
  std::string arch;
  u8 version[3];
  i32 build;
};
OsInfo os_info();

}  // namespace qel::platform
