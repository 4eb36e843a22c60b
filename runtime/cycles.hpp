// The cycle stack: the series (or object contexts) being molded, formed,
// compared or hashed right now, so that a value that contains itself is
// written once and then as a marker, instead of looping.
#pragma once

#include "runtime/cell.hpp"

namespace qel::cycles {

inline constexpr u32 CAPACITY = 1000;  // at most 999 entries are held

void push(u32 node);  // a full stack is emptied and raises internal too-deep; so is a
                      // C++ stack near its end, raising internal stack-overflow
void pop();
void pop_n(u32 n);
void reset();
bool find(u32 node);
u32 depth();
u32 entry(u32 i);  // entry i from the bottom, for the collector

// When the node a value of type t is tracked by (the context of an object,
// else the series node) is on the stack, the marker text to write in the
// value's place ("[...]", "(...)", "#[...]", "make object! [...]" when
// molding, "..." otherwise); nullptr when it is not.
const char* marker(u32 node, Type t, bool mold);
// The same for a value: its node as above (datatypes/cycle_marker.cpp, which
// reads the object's context through the object! module).
const char* marker(const Cell* value, bool mold);

// Keeps the cycle stack as deep as it was when the scope began, however the
// scope ends: an error raised inside a nested mold, compare or copy leaves
// the entries pushed meanwhile, and they come off with the scope. The node
// given, if any, is pushed as the scope's own entry.
class Scope {
 public:
  Scope() : depth_(depth()) {}
  explicit Scope(u32 node) : depth_(depth()) { push(node); }
  ~Scope() {
    if (depth() > depth_) pop_n(depth() - depth_);
  }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  u32 depth_;
};

}  // namespace qel::cycles
