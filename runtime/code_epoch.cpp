// The code epoch (runtime/code_epoch.hpp).
#include "runtime/code_epoch.hpp"

namespace qel::code {

u32 epoch = 0;

}  // namespace qel::code
