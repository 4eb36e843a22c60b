// qel-headless: a test tool that starts like qel, without the GUI, with its
// output on standard output.
#include "console/text_console.hpp"

int main(int argc, char** argv) { return qel::console::text_main(argc, argv); }
