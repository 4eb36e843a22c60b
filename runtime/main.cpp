// The qel executable: runs the start-up sequence and then the program.
#include "runtime/startup.hpp"

int main(int argc, char** argv) { return qel::runtime::start(argc, argv, nullptr); }
