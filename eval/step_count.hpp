// Evaluation steps counted by the road they ran on: the compiled form or the
// reference routines. Only builds made with QEL_COUNT_STEPS count
// (runtime/config.hpp); elsewhere QEL_STEP compiles to nothing. A step is one
// expression: the reference counts each eval_expression it enters, the
// compiled form each expression it runs itself (an expression it hands to
// the reference counts there).
#pragma once

#include "runtime/config.hpp"
#include "runtime/cell.hpp"

#if QEL_COUNT_STEPS
namespace qel::interp::steps {
extern u64 compiled;
extern u64 reference;
}  // namespace qel::interp::steps
#define QEL_STEP(road, n) (::qel::interp::steps::road += u64(n))
#else
#define QEL_STEP(road, n) ((void)0)
#endif
