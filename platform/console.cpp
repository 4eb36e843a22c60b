#include "platform/console.hpp"

#include "platform/std_streams.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>


namespace qel::platform::console {

namespace {
OutputListener g_listener = nullptr;
}  // namespace

void set_output_listener(OutputListener listener) { g_listener = listener; }
namespace {

int g_fd = 1;
bool g_console = false;
std::string g_out;  // pending output, flushed when large and at the end of a write

void flush_if_large() {
  if (g_out.size() > 1020) flush();
}

void put_utf8(u32 cp) {
  if (cp < 0x80) {
    g_out.push_back(char(cp));
  } else if (cp < 0x800) {
    g_out.push_back(char(0xC0 | (cp >> 6)));
    g_out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate has no UTF-8 form
    g_out.push_back(char(0xE0 | (cp >> 12)));
    g_out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    g_out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x110000) {
    g_out.push_back(char(0xF0 | (cp >> 18)));
    g_out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    g_out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    g_out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    put_utf8(0xFFFD);
  }
}

u32 unit_at(const void* text, std::size_t i, u32 unit) {
  const u8* p = static_cast<const u8*>(text) + i * unit;
  switch (unit) {
    case 1: return p[0];
    case 2: return u32(p[0]) | (u32(p[1]) << 8);
    default: return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
  }
}

void emit(const char* s) { g_out.append(s); }
void emit_num(u32 n) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  g_out.append(buf, r.ptr);
}
void emit_csi(u32 n, char final) {
  emit("\x1b[");
  emit_num(n);
  g_out.push_back(final);
}

// Console output reports nothing to scripts; a failure on standard output
// is noted for the exit status.
void write_all(int fd, const char* p, std::size_t n) {
  while (n) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (fd == 1) streams::output_failed(w < 0 ? errno : 0);
      return;
    }
    p += w;
    n -= std::size_t(w);
  }
}

void screen_report() {
  struct winsize ws{};
  ioctl(g_fd, TIOCGWINSZ, &ws);
  std::string r = "Screen buffer info:\n";
  auto pair = [&](const char* label, u32 a, u32 b) {
    r += label;
    r += std::to_string(a) + "x" + std::to_string(b) + "\n";
  };
  pair("size______", ws.ws_col, ws.ws_row);
  pair("cursor____", 0, 0);
  r += "attribute_0\n";
  r += "left______0 top: 0\n";
  r += "right_____" + std::to_string(ws.ws_col ? ws.ws_col - 1 : 0) +
       " bottom: " + std::to_string(ws.ws_row ? ws.ws_row - 1 : 0) + "\n";
  pair("max_______", ws.ws_col, ws.ws_row);
  g_out += r;
}

}  // namespace

void init() { g_console = isatty(g_fd) == 1; }
bool console_mode() { return g_console; }
void set_console_mode(bool on) { g_console = on; }
void set_output_fd(int fd) {
  flush();
  g_fd = fd;
}

void flush() {
  if (!g_out.empty()) {
    write_all(g_fd, g_out.data(), g_out.size());
    g_out.clear();
  }
}

// The state machine of the escape set. Numbers accumulate modulo 65535.
// Colour and style codes are SGR codes already and are written as such;
// "H" takes the column first and is turned into ANSI's row-first order.
std::size_t parse_escape(const void* text, std::size_t units, u32 unit) {
  if (units < 2 || unit_at(text, 1, unit) != '[') return 0;
  enum { START, FIRST, SECOND_START, SECOND } state = START;
  u32 n = 0, m = 0;
  std::vector<u32> pending;  // SGR codes collected by "n;m;" steps
  auto flush_sgr = [&](std::initializer_list<u32> last) {
    emit("\x1b[");
    bool first = true;
    for (u32 v : pending) { if (!first) g_out.push_back(';'); emit_num(v); first = false; }
    for (u32 v : last) { if (!first) g_out.push_back(';'); emit_num(v); first = false; }
    g_out.push_back('m');
  };
  std::size_t i = 2;
  for (; i < units; ++i) {
    u32 c = unit_at(text, i, unit);
    bool digit = c >= '0' && c <= '9';
    switch (state) {
      case START:
        if (digit) { n = c - '0'; state = FIRST; continue; }
        if (c == ';') continue;
        if (c == 's') { emit("\x1b" "7"); return i + 1; }
        if (c == 'u') { emit("\x1b" "8"); return i + 1; }
        if (c == 'K') { emit("\x1b[K"); return i + 1; }
        if (c == 'J') { emit("\x1b" "7\r\x1b[J\x1b" "8"); return i + 1; }
        if (c == 'H' || c == 'f') { emit("\x1b[H"); return i + 1; }
        if (c == '?') { screen_report(); return i + 1; }
        if (c == 'm') return i + 1;  // ESC [ m: ends without a change
        return i;
      case FIRST:
        if (digit) { n = (n * 10 + (c - '0')) % 65535; continue; }
        if (c == ';') { state = SECOND_START; continue; }
        if (c == 'm') { flush_sgr({n}); return i + 1; }
        if (c == 'A' || c == 'B' || c == 'C' || c == 'D') { emit_csi(n, char(c)); return i + 1; }
        if (c == 'J') {
          if (n == 1) emit("\x1b[1J");
          else if (n == 2) emit("\x1b[2J\x1b[H");
          return i + 1;
        }
        if (c == 'K') {
          if (n == 1) emit("\x1b[1K\r");
          else if (n == 2) emit("\x1b[2K\r");
          return i + 1;
        }
        return i;
      case SECOND_START:
        if (digit) { m = c - '0'; state = SECOND; continue; }
        if (c == ';') continue;
        return i;
      case SECOND:
        if (digit) { m = (m * 10 + (c - '0')) % 65535; continue; }
        if (c == 'm') { flush_sgr({n, m}); return i + 1; }
        if (c == ';') { pending.push_back(n); pending.push_back(m); n = m = 0; state = START; continue; }
        if (c == 'H' || c == 'f') {
          emit("\x1b[");
          emit_num(m + 1);
          g_out.push_back(';');
          emit_num(n + 1);
          g_out.push_back('H');
          return i + 1;
        }
        return i;
    }
  }
  return i;
}

void write(const void* text, std::size_t byte_length, u32 unit, bool new_line) {
  if (unit != 1 && unit != 2 && unit != 4) return;
  std::size_t units = byte_length / unit;
  for (std::size_t i = 0; i < units;) {
    u32 c = unit_at(text, i, unit);
    if (c == 27 && g_console && unit != 4) {
      std::size_t used = parse_escape(static_cast<const u8*>(text) + i * unit, units - i, unit);
      if (used) { i += used; continue; }
    }
    put_utf8(c);
    ++i;
    flush_if_large();
  }
  if (new_line) g_out.push_back('\n');
  flush();
}

void write_utf8(const std::string& text, bool new_line) {
  g_out += text;
  if (new_line) g_out.push_back('\n');
  flush();
}

void print_c_text(const char* text) {
  std::size_t n = std::strlen(text);
  g_out.append(text, n);
  flush();
  if (g_listener) g_listener(text, n, 0);
}

namespace {
void print_formatted(const char* begin, const char* end) {
  g_out.append(begin, end);
  flush();
  if (g_listener) g_listener(begin, std::size_t(end - begin), 0);
}
}  // namespace

void print_integer(i32 n) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  print_formatted(buf, r.ptr);
}

void print_hex_byte(u32 n) {
  static const char digits[] = "0123456789ABCDEF";
  char buf[2] = {digits[(n >> 4) & 15], digits[n & 15]};
  print_formatted(buf, buf + 2);
}

void print_hex(u32 n) {
  static const char digits[] = "0123456789ABCDEF";
  char buf[8];
  for (int i = 7; i >= 0; --i, n >>= 4) buf[i] = digits[n & 15];
  print_formatted(buf, buf + 8);
}

void print_float64(double d) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 16);
  print_formatted(buf, r.ptr);
}

void print_float32(float f) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::general, 7);
  print_formatted(buf, r.ptr);
}

}  // namespace qel::platform::console
