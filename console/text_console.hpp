// The text console (see text_console.cpp).
#pragma once

namespace qel::console {
int text_main(int argc, char** argv);
}
