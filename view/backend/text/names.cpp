#include "view/backend/text/names.hpp"

#include <string_view>
#include <vector>

#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/resources.hpp"
#include "view/face.hpp"

namespace qel::view::backend::text {

namespace {

u32 g_symbols[N_COUNT_];
bool g_ready = false;

const char* const kNames[] = {
    "",
#define QEL_X(id, name) name,
    QEL_TEXT_NAMES(QEL_X)
#undef QEL_X
};

// Frees, at the end of the process, the resources of the kinds it holds and
// of the drawing layer's text formats. Made at the first registration, so
// that it goes before the resource table does.
struct ExitRelease {
  std::vector<int> kinds;
  ~ExitRelease() {
    for (int t = 1; resources::type_name(t); ++t)
      if (std::string_view(resources::type_name(t)) == "text-format") kinds.push_back(t);
    for (u32 h = 0; h < resources::capacity(); ++h) {
      int t = resources::type_of_handle(int(h));
      for (int k : kinds)
        if (t == k) resources::free(int(h), true);
    }
  }
};

}  // namespace

int text_resource_kind(const char* name, void (*release)(void*)) {
  static ExitRelease at_exit;
  int kind = resources::register_type(name, release);
  at_exit.kinds.push_back(kind);
  return kind;
}

void init_names() {
  if (g_ready) return;
  for (u32 n = 1; n < N_COUNT_; ++n) g_symbols[n] = symbol::resolve(symbol::make(kNames[n]));
  g_ready = true;
}

u32 symbol_of(Name n) {
  init_names();
  return g_symbols[n];
}

bool is_name(const Cell* c, Name n) {
  return c && is_any_word_type(type_of(c)) && symbol::resolve(word::symbol_of(c)) == symbol_of(n);
}

Name face_type(const Cell* face) {
  init_names();
  u32 s = view::face::type_symbol(face);
  if (!s) return N_NONE_;
  for (u32 n = N_BASE; n <= N_PANEL; ++n)
    if (g_symbols[n] == s) return Name(n);
  return N_NONE_;
}

Cell* field(const Cell* obj, Name n) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, symbol_of(n), true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

}  // namespace qel::view::backend::text
