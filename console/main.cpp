// The qel executable: the start-up sequence, then the console.
#include "console/text_console.hpp"

int main(int argc, char** argv) { return qel::console::text_main(argc, argv); }
