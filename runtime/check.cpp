#include <cstdio>
#include <cstdlib>

#include "runtime/cell.hpp"

namespace qel {

void check_failed(const Cell* c, int expected, const char* where) {
  if (expected < 0) {
    std::fprintf(stderr, "*** internal check failed in %s: a cell of another type, cell %08X %08X %08X %08X\n",
                 where, c->header, c->w1, c->w2, c->w3);
  } else {
    std::fprintf(stderr, "*** internal check failed in %s: expected type %d, cell %08X %08X %08X %08X\n",
                 where, expected, c->header, c->w1, c->w2, c->w3);
  }
  std::abort();
}

}  // namespace qel
