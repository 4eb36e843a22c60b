#include "runtime/casefold.hpp"

namespace qel::casefold {

// ASCII and Latin-1 only, until the generated tables replace this.
void init() {}

u32 upper(u32 cp) {
  if (cp >= 'a' && cp <= 'z') return cp - 32;
  if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) return cp - 32;
  return cp;
}

u32 lower(u32 cp) {
  if (cp >= 'A' && cp <= 'Z') return cp + 32;
  if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 32;
  return cp;
}

}  // namespace qel::casefold
