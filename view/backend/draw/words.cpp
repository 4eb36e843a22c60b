#include "view/backend/draw/words.hpp"

#include <vector>

#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"

namespace qel::view::backend::draw {

namespace {

std::vector<u8> g_by_symbol;  // canonical symbol -> Word
u32 g_symbols[W_COUNT_];

const char* const kNames[] = {
    "",
#define QEL_X(id, name) name,
    QEL_DRAW_WORDS(QEL_X)
#undef QEL_X
};

}  // namespace

void init_words() {
  if (!g_by_symbol.empty()) return;
  u32 top = 0;
  for (u32 w = 1; w < W_COUNT_; ++w) {
    g_symbols[w] = symbol::resolve(symbol::make(kNames[w]));
    if (g_symbols[w] > top) top = g_symbols[w];
  }
  g_by_symbol.assign(top + 1, W_NONE);
  for (u32 w = 1; w < W_COUNT_; ++w) g_by_symbol[g_symbols[w]] = u8(w);
}

Word word_of(const Cell* c) {
  Type t = type_of(c);
  if (t < TYPE_WORD || t > TYPE_REFINEMENT) return W_NONE;
  u32 sym = symbol::resolve(word::symbol_of(c));
  return sym < g_by_symbol.size() ? Word(g_by_symbol[sym]) : W_NONE;
}

u32 symbol_of_word(Word w) { return g_symbols[w]; }

}  // namespace qel::view::backend::draw
