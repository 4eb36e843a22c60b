// The text console (see text_console.cpp).
#pragma once

namespace qel::console {
// qel-headless: start-up, then the text console.
int text_main(int argc, char** argv);
// The text console, once start-up has run; answers the exit status.
int text_console();
}
