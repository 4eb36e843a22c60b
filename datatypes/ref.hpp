// ref!: a reference written @name. A string cell with its own type byte; the
// characters exclude the @. It molds with its @ and forms without it; it
// has no path access and cannot be appended to or put into.
#pragma once

namespace qel::ref {

void init();  // registers ref! (after string!)

}  // namespace qel::ref
