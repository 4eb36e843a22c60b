#include "eval/step_count.hpp"

#if QEL_COUNT_STEPS
#include <cstdio>

#include "platform/image_state.hpp"

namespace qel::interp::steps {

u64 compiled = 0;
u64 reference = 0;
// Each process counts from zero: a process started from the boot image
// counts its own run, not the start-up that made the image.
QEL_IMAGE_SKIP(compiled);
QEL_IMAGE_SKIP(reference);

namespace {
// Reports the counts on standard error when the process ends (the run
// script of bench/programs reads this line).
struct Report {
  ~Report() {
    std::fprintf(stderr, "qel steps: compiled %llu reference %llu\n",
                 static_cast<unsigned long long>(compiled), static_cast<unsigned long long>(reference));
  }
} g_report;
}  // namespace

}  // namespace qel::interp::steps
#endif
