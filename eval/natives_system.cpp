// System and front natives: memory statistics and the collector (stats,
// recycle), the environment (get-env, set-env), sleeping (wait) and files
// (to-local-file, size?). Each checks its arguments and hands the work to the
// runtime or platform layer.
#include <cmath>
#include <optional>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "eval/interrupt.hpp"
#include "eval/natives.hpp"
#include "platform/files.hpp"
#include "platform/os.hpp"
#include "runtime/char_width.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"

namespace qel::natives {

using interp::Status;

// Processes pending GUI events once without waiting; `wait` calls it after
// sleeping. The GUI backend sets it when it starts; null while there is none.
void (*gui_do_events)(bool no_wait) = nullptr;

namespace {

// A byte count as integer!, or as float! when it does not fit.
Cell* make_count(Cell* out, double bytes) {
  if (bytes > 2147483647.0) return make_float(out, bytes);
  return make_integer(out, i32(bytes));
}

// The name or value text of an environment variable, as UTF-8. A NUL cannot
// cross the OS boundary (the name or value would be cut short there), so it
// raises script invalid-arg with the value.
std::string env_text(const Cell* v) {
  Cell value = *v;
  std::string text;
  {
    api::Values scope;  // drops the string a word is spelled into
    if (is_any_string_type(type_of(&value))) {
      text = string::to_utf8(&value);
    } else {
      text = string::to_utf8(word::to_string(&value));
    }
  }
  if (text.find('\0') != std::string::npos) fire(Err::script_invalid_arg, &value);
  return text;
}

}  // namespace

// ---- memory ---------------------------------------------------------------------

Status stats(const i32* refs) {
  bool show = ref(refs, 0), info = ref(refs, 1);
  if (!show && !info) {
    make_count(api::result(), memstats::bytes_in_use());
    return api::done();
  }
  block::make_at(api::result(), 8);
  api::keep_result();
  memstats::report(series_node(api::result()));
  if (!show) return 0;
  // The library's report function prints the block.
  Cell fn_word = *intern_word("show-memory-stats");
  Cell fn = *word::get_value_cell(&fn_word);
  if (is_unset(&fn)) fire(Err::script_no_value, &fn_word);
  Cell data = *api::result();
  Cell* r = interp::call_with_args(&fn, &data, 1, 0);
  return api::answer(r);
}

Status recycle(const i32* refs) {
  bool on = ref(refs, 0), off = ref(refs, 1);
  if (on && off) fire(Err::script_bad_refines);
  if (on || off) {
    gc::enabled = on;
    return api::answer_unset();
  }
  // Everything this native holds is on the arguments stack.
  make_unset(api::result());
  api::keep_result();
  gc::do_cycle();
  make_count(api::result(), memstats::bytes_in_use());
  return api::done();
}

// ---- environment ------------------------------------------------------------------

Status get_env(const i32*) {
  std::optional<std::string> v = platform::get_env(env_text(api::result()));
  if (!v) {
    make_none(api::result());
  } else {
    string::load_at(reinterpret_cast<const u8*>(v->data()), u32(v->size()), api::result(),
                    string::Encoding::utf8);
  }
  return api::done();
}

Status set_env(const i32*) {
  const Cell* var = api::result();
  const Cell* value = api::arg(1);
  std::string name = env_text(var);
  bool ok = is_none(value) ? platform::unset_env(name) : platform::set_env(name, env_text(value));
  // The OS refuses an empty name and a name holding "=".
  if (!ok) fire(Err::script_invalid_arg, var);
  return api::answer(value);
}

// ---- time -------------------------------------------------------------------------

Status wait(const i32*) {
  const Cell* v = api::result();
  double seconds;
  switch (type_of(v)) {
    case TYPE_INTEGER: seconds = double(int_of(v)); break;
    case TYPE_FLOAT: case TYPE_TIME: seconds = float_of(v); break;
    default: fire(Err::script_invalid_arg, v);
  }
  // An endless or undefined duration is refused rather than slept.
  if (!std::isfinite(seconds)) fire(Err::script_invalid_arg, v);
  make_none(api::result());
  api::keep_result();
  // Slept in slices, so that an interrupt request (and the pump hook) is
  // served within one slice, and so are the GUI's pending events (another
  // program asking for what this one put on the clipboard, say).
  while (seconds > 0) {
    double slice = seconds < 0.05 ? seconds : 0.05;
    platform::wait(slice);
    seconds -= slice;
    interrupt::check();
    if (gui_do_events && seconds > 0) gui_do_events(true);
  }
  if (gui_do_events) gui_do_events(true);
  return 0;
}

// ---- files ------------------------------------------------------------------------

Status to_local_file(const i32* refs) {
  bool full = ref(refs, 0);
  Cell* path = api::result();
  api::Values text(1);
  Cell* out = text[0];
  string::make_at(out, string::length_from_index(path) + 1, 1);
  file::to_os_path(path, out, full);
  return api::answer(out);
}

Status size_q(const i32*) {
  std::optional<u64> size = platform::file_size(file::to_local_path(api::result()));
  if (size) make_count(api::result(), double(*size));
  else make_none(api::result());
  return api::done();
}

}  // namespace qel::natives
