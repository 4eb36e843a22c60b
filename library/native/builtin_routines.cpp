// The library's built-in routines and type predicates: routine! values whose
// code is C++, set as global words at start-up before the library source
// runs. Each entry reads its arguments from the frame base upward and leaves
// its result in the base cell.
#include "library/native/routines.hpp"

#include <array>
#include <cstdlib>
#include <string>
#include <utility>

#include "datatypes/context.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/string.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "eval/natives.hpp"
#include "io/files.hpp"
#include "io/os.hpp"
#include "platform/console.hpp"
#include "platform/os.hpp"
#include "platform/std_streams.hpp"
#include "runtime/api.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"
#include "platform/image_state.hpp"

namespace qel::library::native {

namespace {

using api::arg;

void answer_integer(i32 n) {
  make_integer(api::result(), n);
  api::keep_result();
}

// ---- the routines --------------------------------------------------------------

// An exit status is 0 to 255 here: any other value would reach the parent
// cut to its low byte (256 as 0, success), so it ends with 255 instead.
void quit_return() {
  i32 n = int_of(arg(0));
  platform::console::flush();
  std::exit(platform::streams::finish(n >= 0 && n <= 255 ? n : 255));
}

void set_quiet() {
  Cell* w = arg(0);
  if (!is_any_word_type(type_of(w))) {
    Cell dt;
    make_datatype(&dt, type_of(w));
    Cell name = *intern_word("set-quiet");
    Cell argname = *intern_word("word");
    fire(Err::script_expect_arg, &name, &dt, &argname);
  }
  Cell v = *arg(1);
  copy_cell(&v, word::get_value_cell(w));
  api::set_result(&v);
}

void set_slot_quiet() {
  Cell* s = arg(0);
  Type t = type_of(s);
  if (t != TYPE_BLOCK && t != TYPE_PAREN && t != TYPE_HASH && t != TYPE_PATH &&
      t != TYPE_LIT_PATH && t != TYPE_SET_PATH && t != TYPE_GET_PATH) {
    Cell dt;
    make_datatype(&dt, TYPE_BLOCK);
    Cell name = *intern_word("set-slot-quiet");
    Cell argname = *intern_word("series");
    fire(Err::script_expect_arg, &name, &dt, &argname);
  }
  mem::Buffer* b = mem::buffer_of(series_node(s));
  u32 i = u32(series_index(s));
  if (i < b->used() / sizeof(Cell)) copy_cell(arg(1), b->cells() + i);
  api::answer_unset();
}

// The shift native's own code: refs[0] is /left, refs[1] /logical (a
// refinement without arguments is on at the index after the two arguments).
void shift_with(i32 left, i32 logical) {
  i32 refs[2] = {left, logical};
  natives::shift(refs);
}
void shift_right() { shift_with(-1, -1); }
void shift_left() { shift_with(2, -1); }
void shift_logical() { shift_with(-1, 2); }

void last_lf_q() { api::answer_logic(natives::last_lf); }

void get_current_dir() {
  std::string dir = platform::get_current_dir();
  if (dir.empty() || dir.back() != '/') dir += '/';
  string::load_at(reinterpret_cast<const u8*>(dir.data()), u32(dir.size()), stack::base,
                  string::Encoding::utf8);
  set_type(stack::base, TYPE_FILE);
  api::keep_result();
}

void set_current_dir() {
  std::string path = file::to_local_path(arg(0));
  if (!platform::set_current_dir(path)) fire(Err::access_cannot_open, arg(0));
  api::answer_unset();
}

void create_dir() {
  io::files::make_dir(arg(0));
  api::answer_unset();
}

void exists_q() { api::answer_logic(io::files::exists(arg(0))); }

void os_info() {
  Cell* v = io::os::os_info();
  Cell c = *v;
  copy_cell(&c, stack::base);
  api::keep_result();
}

// The first negative argument among the first n raises invalid-arg.
void check_non_negative(u32 n) {
  for (u32 i = 0; i < n; ++i)
    if (int_of(arg(i)) < 0) fire(Err::script_invalid_arg, arg(i));
}

void as_color() {
  check_non_negative(3);
  u32 w = u32(int_of(arg(2)) % 256) << 16 | u32(int_of(arg(1)) % 256) << 8 |
          u32(int_of(arg(0)) % 256);
  u8 bytes[3] = {u8(w), u8(w >> 8), u8(w >> 16)};
  tuple::make_at(stack::base, 3, bytes);
  api::keep_result();
}

void as_ipv4() {
  check_non_negative(4);
  u32 w = u32(int_of(arg(3))) << 24 | u32(int_of(arg(2))) << 16 | u32(int_of(arg(1))) << 8 |
          u32(int_of(arg(0)));
  u8 bytes[4] = {u8(w), u8(w >> 8), u8(w >> 16), u8(w >> 24)};
  tuple::make_at(stack::base, 4, bytes);
  api::keep_result();
}
void as_rgba() { as_ipv4(); }

void count_chars() {
  Cell* start = arg(0);
  Cell* pos = arg(1);
  // Both positions must lie in the one series, the second at or after the first.
  if (series_node(start) != series_node(pos) || series_index(pos) < series_index(start))
    fire(Err::script_invalid_arg, pos);
  mem::Buffer* b = mem::buffer_of(series_node(start));
  const u8* bytes = b->head_ptr();
  u32 used = b->used();
  u32 from = u32(series_index(start));
  u32 to = u32(series_index(pos));
  if (to > used) to = used;
  const u8* p = bytes + (from < to ? from : to);
  const u8* end = bytes + to;
  i32 n = 0;
  while (p < end) {
    i32 cp;
    const u8* next = unicode::fast_decode_utf8_char(p, end, cp);
    p = next > p ? next : p + 1;
    ++n;
  }
  answer_integer(n);
}

void stack_size_q() { answer_integer(i32(stack::top - stack::bottom)); }

void pick_stack() {
  i32 idx = int_of(arg(0));
  i32 size = i32(stack::top - stack::bottom);
  if (idx > 0 && idx < size) {
    Cell v = stack::bottom[idx - 1];
    api::set_result(&v);
  } else {
    make_none(stack::base);
    api::keep_result();
  }
}

void frame_index_q() { answer_integer(i32(stack::index_of(stack::base))); }

// Appends, innermost first, each frame's word (bound in the frame's function
// context when it has one and that context holds the word, else in the
// global context) and the index of the base that frame saved; the outermost
// frame and the frames named <body> or <anon> are left out.
void collect_calls() {
  u32 block = series_node(arg(0));
  for (stack::Frame* f = stack::ctop; f-- > stack::cbottom + 1;) {
    if (!f->symbol || f->symbol == stack::body_symbol || f->symbol == stack::anon_symbol) continue;
    i32 i = f->fctx && context::is_context(f->fctx) ? context::find_word(f->fctx, f->symbol, false) : -1;
    Cell w = i >= 0 ? *context::symbol_cell(f->fctx, u32(i)) : *context::find_or_add(f->symbol, false, true);
    i32 prev_base = i32(f->prev_base);
    copy_cell(&w, mem::alloc_tail_cell(block));
    integer::make_in(block, prev_base);
  }
  Cell b = *arg(0);
  api::set_result(&b);
}

void tracing_q() { api::answer_logic(interp::tracing()); }

void write_stdout() {
  io::files::write_stdout(arg(0));
  api::answer_unset();
}

// Trigonometry in radians and square roots: the math natives' own code with
// its radians option on.
template <natives::Entry F>
void math_radians() {
  i32 refs[1] = {1};
  F(refs);
}
void sqrt_() {
  i32 refs[1] = {-1};
  natives::square_root(refs);
}

struct RoutineDef {
  const char* name;
  const char* spec;
  routines::Entry fn;
};

const RoutineDef kRoutines[] = {
    {"quit-return", "[\"Stops evaluation and exits the program with a given status\" status [integer!]]", quit_return},
    {"set-quiet", "[\"Set an object's field to a value without triggering eventual object's events\" word [any-type!] value [any-type!] return: [any-type!]]", set_quiet},
    {"set-slot-quiet", "[\"Set a value in series without triggering eventual owner's events\" series [any-type!] value [any-type!]]", set_slot_quiet},
    {"shift-right", "[\"Shift bits to the right\" data [integer!] bits [integer!]]", shift_right},
    {"shift-left", "[\"Shift bits to the left\" data [integer!] bits [integer!]]", shift_left},
    {"shift-logical", "[\"Shift bits to the right (unsigned)\" data [integer!] bits [integer!]]", shift_logical},
    {"last-lf?", "[\"Internal Use Only\"]", last_lf_q},
    {"get-current-dir", "[\"Returns the platform's current directory for the process\"]", get_current_dir},
    {"set-current-dir", "[\"Sets the platform's current process directory\" path [file!]]", set_current_dir},
    {"create-dir", "[\"Create the given directory\" path [file!]]", create_dir},
    {"exists?", "[\"Returns TRUE if the file exists\" path [file!] return: [logic!]]", exists_q},
    {"os-info", "[\"Returns detailed operating system version information\"]", os_info},
    {"as-color", "[\"Combine R, G and B values into a tuple\" r [integer!] g [integer!] b [integer!]]", as_color},
    {"as-ipv4", "[\"Combine a, b, c and d values into a tuple\" a [integer!] b [integer!] c [integer!] d [integer!]]", as_ipv4},
    {"as-rgba", "[\"Combine R, G, B and A color components into a tuple\" r [integer!] g [integer!] b [integer!] a [integer!]]", as_rgba},
    {"count-chars", "[\"Count UTF-8 encoded characters between two positions in a binary series\" start [binary!] pos [binary!] return: [integer!]]", count_chars},
    {"stack-size?", "[return: [integer!]]", stack_size_q},
    {"pick-stack", "[idx [integer!]]", pick_stack},
    {"frame-index?", "[return: [integer!]]", frame_index_q},
    {"collect-calls", "[blk [block!]]", collect_calls},
    {"tracing?", "[]", tracing_q},
    {"write-stdout", "[\"Write data to STDOUT\" data [any-type!]]", write_stdout},
};

const RoutineDef kMathRoutines[] = {
    {"cos", "[\"Returns the trigonometric cosine\" angle [float!] \"Angle in radians\"]", math_radians<natives::cosine>},
    {"sin", "[\"Returns the trigonometric sine\" angle [float!] \"Angle in radians\"]", math_radians<natives::sine>},
    {"tan", "[\"Returns the trigonometric tangent\" angle [float!] \"Angle in radians\"]", math_radians<natives::tangent>},
    {"acos", "[\"Returns the trigonometric arccosine in radians in range [0,pi]\" cosine [float!] \"in range [-1,1]\"]", math_radians<natives::arccosine>},
    {"asin", "[\"Returns the trigonometric arcsine in radians in range [-pi/2,pi/2])\" sine [float!] \"in range [-1,1]\"]", math_radians<natives::arcsine>},
    {"atan", "[\"Returns the trigonometric arctangent in radians in range [-pi/2,+pi/2]\" tangent [float!] \"in range [-inf,+inf]\"]", math_radians<natives::arctangent>},
    {"atan2", "[\"Returns the smallest angle between the vectors (1,0) and (x,y) in range (-pi,pi]\" y [float! integer!] x [float! integer!] return: [float!]]", math_radians<natives::arctangent2>},
    {"sqrt", "[\"Returns the square root of a number\" number [float! integer! percent!] return: [float!]]", sqrt_},
};

// ---- type predicates ----------------------------------------------------------

template <Type T>
void is_type() {
  api::answer_logic(type_of(stack::base) == T);
}

struct PredicateDef {
  const char* name;
  routines::Entry fn;
};

#define QEL_PRED(name, T) {name, is_type<TYPE_##T>}
const PredicateDef kPredicates[] = {
    QEL_PRED("bitset?", BITSET),     QEL_PRED("binary?", BINARY),     QEL_PRED("block?", BLOCK),
    QEL_PRED("char?", CHAR),         QEL_PRED("email?", EMAIL),       QEL_PRED("file?", FILE),
    QEL_PRED("float?", FLOAT),       QEL_PRED("get-path?", GET_PATH), QEL_PRED("get-word?", GET_WORD),
    QEL_PRED("hash?", HASH),         QEL_PRED("integer?", INTEGER),   QEL_PRED("issue?", ISSUE),
    QEL_PRED("lit-path?", LIT_PATH), QEL_PRED("lit-word?", LIT_WORD), QEL_PRED("logic?", LOGIC),
    QEL_PRED("map?", MAP),           QEL_PRED("none?", NONE),         QEL_PRED("pair?", PAIR),
    QEL_PRED("paren?", PAREN),       QEL_PRED("path?", PATH),         QEL_PRED("percent?", PERCENT),
    QEL_PRED("refinement?", REFINEMENT), QEL_PRED("set-path?", SET_PATH), QEL_PRED("set-word?", SET_WORD),
    QEL_PRED("string?", STRING),     QEL_PRED("tag?", TAG),           QEL_PRED("time?", TIME),
    QEL_PRED("typeset?", TYPESET),   QEL_PRED("tuple?", TUPLE),       QEL_PRED("unset?", UNSET),
    QEL_PRED("url?", URL),           QEL_PRED("word?", WORD),         QEL_PRED("image?", IMAGE),
    QEL_PRED("date?", DATE),         QEL_PRED("money?", MONEY),       QEL_PRED("ref?", REF),
    QEL_PRED("point2D?", POINT2D),   QEL_PRED("point3D?", POINT3D),   QEL_PRED("handle?", HANDLE),
    QEL_PRED("error?", ERROR),       QEL_PRED("action?", ACTION),     QEL_PRED("native?", NATIVE),
    QEL_PRED("datatype?", DATATYPE), QEL_PRED("function?", FUNCTION), QEL_PRED("object?", OBJECT),
    QEL_PRED("op?", OP),             QEL_PRED("routine?", ROUTINE),   QEL_PRED("vector?", VECTOR),
};
#undef QEL_PRED

// Typeset predicates read the typeset word at each call, so rebinding the
// word changes the predicate.
const char* const kTypesetNames[] = {
    "any-list!", "any-block!", "any-function!", "any-object!", "any-path!",
    "any-string!", "any-word!", "series!", "number!", "immediate!",
    "scalar!", "all-word!", "any-point!", "planar!",
};
constexpr u32 kTypesetCount = sizeof(kTypesetNames) / sizeof(kTypesetNames[0]);
Cell g_typeset_words[kTypesetCount];  // global word cells (nodes never move)
QEL_IMAGE_KEEP(g_typeset_words);

template <u32 I>
void in_typeset() {
  Type t = type_of(stack::base);
  const Cell* ts = word::get_value_cell(&g_typeset_words[I]);
  api::answer_logic(type_of(ts) == TYPE_TYPESET && typeset::has(ts, t));
}

template <u32... Is>
constexpr auto typeset_entries(std::integer_sequence<u32, Is...>) {
  return std::array<routines::Entry, sizeof...(Is)>{in_typeset<Is>...};
}

}  // namespace

void define_routines() {
  for (const RoutineDef& d : kRoutines) define_global_routine(d.name, d.spec, d.fn);
}

void define_math_routines() {
  for (const RoutineDef& d : kMathRoutines) define_global_routine(d.name, d.spec, d.fn);
}

void define_predicates() {
  for (const PredicateDef& d : kPredicates)
    define_global_routine(d.name, "[\"Returns true if the value is this type\" value [any-type!] return: [logic!]]",
                          d.fn);
  static constexpr auto entries = typeset_entries(std::make_integer_sequence<u32, kTypesetCount>{});
  for (u32 i = 0; i < kTypesetCount; ++i) {
    g_typeset_words[i] = *intern_word(kTypesetNames[i]);
    std::string name = kTypesetNames[i];
    name.pop_back();  // the "!"
    std::string spec = "[\"Returns true if the value is any type of " + name +
                       "\" value [any-type!] return: [logic!]]";
    define_global_routine((name + "?").c_str(), spec.c_str(), entries[i]);
  }
}

namespace {
void gc_active_q() { api::answer_logic(gc::enabled); }
void gc_cycles() { answer_integer(i32(gc::cycles())); }
}  // namespace

void fill_gc_object(Cell* gc_object) {
  define_field_routine(gc_object, "active?", "[return: [logic!]]", gc_active_q);
  // One collector: series and nodes are collected in the same cycle.
  define_field_routine(gc_object, "series-cycles", "[return: [integer!]]", gc_cycles);
  define_field_routine(gc_object, "nodes-cycles", "[return: [integer!]]", gc_cycles);
}

}  // namespace qel::library::native
