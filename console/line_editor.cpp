// The text console's line editor (see line_editor.hpp), over libedit's
// wide-character interface in emacs mode. libedit reads its characters
// through get_char below: read(2) behind poll(2), which an interrupt wakes
// (poll is never restarted), so Ctrl+C while a line is typed is seen at once
// and drops the line. The bytes are decoded as UTF-8 here, whatever the
// locale says; the locale's character type is made a UTF-8 one so that
// libedit measures and shows the characters it is given.
//
// Nothing that can raise runs under libedit's frames without being caught
// there: the completer is called inside a catch-all.
//
// libedit is loaded with dlopen when the editor starts on a terminal, not
// linked: a script, or a console on a pipe, never needs it, and loading it
// (with the terminfo library it brings) cost every start of the program.
#include "console/line_editor.hpp"

#include <histedit.h>
#include <langinfo.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "platform/crash.hpp"
#include "platform/shared_library.hpp"

namespace qel::console::editor {

namespace {

#define QEL_EDIT_FUNCTIONS(X)                                                    \
  X(el_init) X(el_end) X(el_wset) X(el_wgets) X(el_wline) X(el_cursor)             \
  X(el_deletestr) X(el_winsertstr) X(el_resize) X(history_winit) X(history_wend) \
  X(history_w)

struct Edit {
  QEL_EDIT_FUNCTIONS(QEL_LIBRARY_FUNCTION)
};

Edit lib;

// Loads libedit, once; false when it or one of its functions is missing
// (the console then reads plain lines).
bool edit_load() {
  static platform::LoadOnce loaded;
  return loaded([] {
    platform::SharedLibrary edit("libedit.so.2");
#define QEL_EDIT_RESOLVE(name) edit.resolve(lib.name, #name);
    QEL_EDIT_FUNCTIONS(QEL_EDIT_RESOLVE)
#undef QEL_EDIT_RESOLVE
    return edit.complete();
  });
}

EditLine* g_el = nullptr;
HistoryW* g_hist = nullptr;
Completer g_completer = nullptr;
std::wstring g_prompt;
bool (*g_stop)() = nullptr;
bool g_stopped = false;
std::string g_bytes;  // read, not yet decoded

std::wstring widen(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    wchar_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    if (n == 0 || i + std::size_t(n) > s.size()) {
      out += L'\uFFFD';
      ++i;
      continue;
    }
    bool ok = true;
    for (int k = 1; k < n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + std::size_t(k)]);
      if ((d & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (d & 0x3F);
    }
    out += ok ? cp : L'\uFFFD';
    i += ok ? std::size_t(n) : 1;
  }
  return out;
}

std::string narrow(const wchar_t* p, const wchar_t* end) {
  std::string out;
  for (; p < end; ++p) {
    auto cp = static_cast<unsigned long>(*p);
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// The next complete UTF-8 character of the bytes read, or false when they
// end inside one (a byte that starts no character is taken as U+FFFD).
bool take_char(wchar_t* out) {
  if (g_bytes.empty()) return false;
  unsigned char c = static_cast<unsigned char>(g_bytes[0]);
  std::size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  if (g_bytes.size() < n) return false;
  std::wstring w = widen(g_bytes.substr(0, n));
  g_bytes.erase(0, w.size() == 1 && w[0] != L'\uFFFD' ? n : 1);
  *out = w[0];
  return true;
}

// libedit's character source: 1 with a character, 0 at the end of the
// input, -1 when the console asks to stop.
int get_char(EditLine*, wchar_t* out) {
  for (;;) {
    if (g_stop && g_stop()) {
      g_stopped = true;
      errno = EINTR;
      return -1;
    }
    if (take_char(out)) return 1;
    struct pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    char buf[256];
    ssize_t n = ::read(0, buf, sizeof buf);
    if (n > 0) {
      g_bytes.append(buf, std::size_t(n));
    } else if (n == 0) {
      if (g_bytes.empty()) return 0;
      g_bytes.clear();
      *out = L'\uFFFD';
      return 1;
    } else if (errno != EINTR && errno != EAGAIN) {
      return -1;
    }
  }
}

wchar_t* prompt_of(EditLine*) { return const_cast<wchar_t*>(g_prompt.c_str()); }

// The terminal's settings before libedit changed them for a line: given back
// when a signal ends the process while the line is typed (a shell left with
// a terminal that neither echoes nor reads lines is of no use).
struct termios g_terminal{};
void restore_terminal() { ::tcsetattr(0, TCSANOW, &g_terminal); }

// Replaces the whole line and puts the caret at `caret` characters.
void replace_line(const std::wstring& line, std::size_t caret) {
  const LineInfoW* li = lib.el_wline(g_el);
  lib.el_cursor(g_el, int(li->lastchar - li->cursor));
  li = lib.el_wline(g_el);
  lib.el_deletestr(g_el, int(li->cursor - li->buffer));
  if (!line.empty()) lib.el_winsertstr(g_el, line.c_str());
  li = lib.el_wline(g_el);
  lib.el_cursor(g_el, -int(line.size() - std::min(caret, line.size())));
}

// Tab: the completer's answer replaces the line; candidates to list are
// printed under it and the prompt shown again.
unsigned char complete(EditLine*, int) {
  if (!g_completer) return CC_ERROR;
  const LineInfoW* li = lib.el_wline(g_el);
  std::string line = narrow(li->buffer, li->lastchar);
  std::size_t caret = std::size_t(li->cursor - li->buffer);
  Completion c;
  bool found = false;
  try {
    found = g_completer(line, caret, c);
  } catch (...) {
    return CC_ERROR;
  }
  if (!found) return CC_NORM;
  replace_line(widen(c.line), c.caret);
  if (c.listing.empty()) return CC_REFRESH;
  std::fputc('\n', stdout);
  std::fwrite(c.listing.data(), 1, c.listing.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return CC_REDISPLAY;
}

// libedit measures characters by the locale: a UTF-8 one, the user's when it
// is one.
void utf8_locale() {
  if (std::setlocale(LC_CTYPE, "") && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return;
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "C");
}

}  // namespace

bool start(Completer completer) {
  if (g_el) return true;
  if (!::isatty(0) || !::isatty(1) || !edit_load()) return false;
  utf8_locale();
  g_el = lib.el_init("qel", stdin, stdout, stderr);
  if (!g_el) return false;
  g_completer = completer;
  g_hist = lib.history_winit();
  HistEventW ev;
  lib.history_w(g_hist, &ev, H_SETSIZE, 100);
  lib.el_wset(g_el, EL_EDITOR, L"emacs");
  lib.el_wset(g_el, EL_HIST, lib.history_w, g_hist);
  lib.el_wset(g_el, EL_PROMPT, prompt_of);
  lib.el_wset(g_el, EL_GETCFN, get_char);
  lib.el_wset(g_el, EL_ADDFN, L"qel-complete", L"Completes the word before the caret", complete);
  lib.el_wset(g_el, EL_BIND, L"^I", L"qel-complete", nullptr);
  return true;
}

bool active() { return g_el != nullptr; }

void set_history(const std::vector<std::string>& oldest_first) {
  if (!g_hist) return;
  HistEventW ev;
  lib.history_w(g_hist, &ev, H_CLEAR);
  for (const std::string& line : oldest_first) lib.history_w(g_hist, &ev, H_ENTER, widen(line).c_str());
}

void add_history(const std::string& line) {
  if (!g_hist) return;
  HistEventW ev;
  lib.history_w(g_hist, &ev, H_ENTER, widen(line).c_str());
}

std::optional<std::string> read(const std::string& prompt, bool (*stop)()) {
  g_prompt = widen(prompt);
  // (the terminal may have changed its size since the last line)
  lib.el_resize(g_el);
  g_stop = stop;
  g_stopped = false;
  bool saved = ::tcgetattr(0, &g_terminal) == 0;
  if (saved) platform::set_interrupt_exit_hook(restore_terminal);
  int count = 0;
  const wchar_t* line = lib.el_wgets(g_el, &count);
  platform::set_interrupt_exit_hook(nullptr);
  g_stop = nullptr;
  if (g_stopped || !line) return std::nullopt;
  const wchar_t* end = line + (count > 0 ? count : 0);
  while (end > line && (end[-1] == L'\n' || end[-1] == L'\r')) --end;
  return narrow(line, end);
}

void finish() {
  if (!g_el) return;
  lib.el_end(g_el);
  g_el = nullptr;
  if (g_hist) lib.history_wend(g_hist);
  g_hist = nullptr;
}

}  // namespace qel::console::editor
