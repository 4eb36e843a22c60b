// Scoped roots for values that C++ code holds outside the arguments stack.
//
// The collector marks precisely: from the arguments stack, the call stack, the
// root block, the tables, the mark callbacks and these guards. A cell or node
// held in a C++ local while something may allocate must be rooted by one of
// them, or live on the arguments stack. Guards nest strictly (LIFO).
#pragma once

#include <vector>

#include "runtime/cell.hpp"

namespace qel::roots {

extern std::vector<const Cell*> cells;  // rooted cells (their payloads are marked)
extern std::vector<const u32*> nodes;   // rooted series nodes (with their cells)

class CellRoot {
 public:
  explicit CellRoot(const Cell* c) { cells.push_back(c); }
  ~CellRoot() { cells.pop_back(); }
  CellRoot(const CellRoot&) = delete;
  CellRoot& operator=(const CellRoot&) = delete;
};

class NodeRoot {
 public:
  explicit NodeRoot(const u32* node) { nodes.push_back(node); }
  ~NodeRoot() { nodes.pop_back(); }
  NodeRoot(const NodeRoot&) = delete;
  NodeRoot& operator=(const NodeRoot&) = delete;
};

// A cell that lives in C++ code and is rooted for its whole life.
struct LocalCell {
  Cell cell{};
  CellRoot root{&cell};
  Cell* operator->() { return &cell; }
  Cell* get() { return &cell; }
};

}  // namespace qel::roots
