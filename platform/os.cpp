#include "platform/os.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <vector>

extern char** environ;

namespace qel::platform {

std::string get_current_dir() {
  std::vector<char> buf(4096);
  for (;;) {
    if (getcwd(buf.data(), buf.size())) return std::string(buf.data());
    if (errno != ERANGE || buf.size() > (1u << 20)) return std::string();
    buf.resize(buf.size() * 2);
  }
}

bool set_current_dir(const std::string& path) { return chdir(path.c_str()) == 0; }

std::optional<std::string> get_env(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

bool set_env(const std::string& name, const std::string& value) {
  return setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool unset_env(const std::string& name) { return unsetenv(name.c_str()) == 0; }

void wait(double seconds) {
  double ms = seconds * 1000.0;
  if (!(ms >= 1.0)) ms = 1.0;  // also catches NaN
  if (ms > 1e12) ms = 1e12;
  double whole = std::floor(ms / 1000.0);
  struct timespec ts;
  ts.tv_sec = time_t(whole);
  ts.tv_nsec = long((ms - whole * 1000.0) * 1e6);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

double get_time(bool precise) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  double t = double(ts.tv_sec % 86400);
  if (precise) t += double(ts.tv_nsec) / 1e9;
  return t;
}

u32 pack_zone(long offset_seconds) {
  long minutes = offset_seconds / 60;
  bool negative = minutes < 0;
  if (negative) minutes = -minutes;
  u32 hours = u32(minutes / 60) & 0xF;
  u32 quarters = u32((minutes % 60) / 15) & 3;
  return (negative ? 0x40u : 0u) | (hours << 2) | quarters;
}

u32 get_date(bool utc) {
  time_t now = ::time(nullptr);
  struct tm tm{};
  u32 zone = 0;
  if (utc) {
    gmtime_r(&now, &tm);
  } else {
    localtime_r(&now, &tm);
    zone = pack_zone(tm.tm_gmtoff);
  }
  u32 year = u32(tm.tm_year + 1900), month = u32(tm.tm_mon + 1), day = u32(tm.tm_mday);
  return (year << 17) | (month << 12) | (day << 7) | zone;
}

DateTime now(bool utc) {
  struct timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  struct tm tm{};
  if (utc) gmtime_r(&secs, &tm); else localtime_r(&secs, &tm);
  DateTime d;
  d.year = tm.tm_year + 1900;
  d.month = tm.tm_mon + 1;
  d.day = tm.tm_mday;
  d.seconds = tm.tm_hour * 3600.0 + tm.tm_min * 60.0 + tm.tm_sec + ts.tv_nsec * 1e-9;
  d.offset = utc ? 0 : tm.tm_gmtoff;
  return d;
}

std::string arch_name() {
  struct utsname u;
  if (uname(&u) != 0) return "Unknown";
  std::string m = u.machine;
  if (m == "x86_64" || m == "amd64") return "x86-64";
  if (m == "aarch64" || m == "arm64") return "ARM64";
  if (m == "i386" || m == "i486" || m == "i586" || m == "i686") return "x86-32";
  if (m.rfind("arm", 0) == 0) return "ARM";
  return m.empty() ? "Unknown" : m;
}

std::vector<std::pair<std::string, std::string>> environment() {
  std::vector<std::pair<std::string, std::string>> vars;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    std::size_t eq = entry.find('=', 1);
    if (eq == std::string::npos) vars.emplace_back(entry, std::string());
    else vars.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
  }
  return vars;
}

std::string command_line() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::stringstream raw;
  raw << in.rdbuf();
  std::string all = raw.str(), line;
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\0', pos);
    if (end == std::string::npos) end = all.size();
    std::string word = all.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty()) line += ' ';
    if (!word.empty() && word.find_first_of(" \t\n\"\\") == std::string::npos) {
      line += word;
      continue;
    }
    line += '"';
    for (char c : word) {
      if (c == '"' || c == '\\') line += '\\';
      line += c;
    }
    line += '"';
  }
  return line;
}

OsInfo os_info() {
  OsInfo info{"Linux", arch_name(), {0, 0, 0}, 0};
  std::ifstream release("/etc/os-release");
  std::string line, name, pretty;
  while (std::getline(release, line)) {
    auto value = [&](std::size_t at) {
      std::string v = line.substr(at);
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
      }
      return v;
    };
    if (line.rfind("PRETTY_NAME=", 0) == 0) pretty = value(12);
    else if (line.rfind("NAME=", 0) == 0) name = value(5);
  }
  if (!pretty.empty()) info.name = pretty;
  else if (!name.empty()) info.name = name;
  struct utsname u;
  if (uname(&u) == 0) {
    // "6.1.0-18-amd64": version 6.1.0, build 18.
    const char* p = u.release;
    for (int i = 0; i < 4; ++i) {
      while (*p && !std::isdigit(static_cast<unsigned char>(*p))) ++p;
      if (!*p) break;
      long n = 0;
      while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (n < 100000000) n = n * 10 + (*p - '0');
        ++p;
      }
      if (i < 3) info.version[i] = u8(n > 255 ? 255 : n);
      else info.build = i32(n);
    }
  }
  return info;
}

}  // namespace qel::platform
