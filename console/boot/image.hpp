// The boot image: the memory region and the C++ state (platform/
// image_state.hpp) as start-up leaves them once the library has run, saved
// by the build into the executable (its section ".qel.image") and taken
// back at start instead of running the library again.
//
// What start-up takes from the process (the command line, the environment,
// the current directory) is set after the image, in every process, and so
// is never part of it. An image is taken only when it comes from this very
// link (the build identity), was made under the same C library, with the
// same memory layout, and when runtime-init left the region here as it left
// it there; its bytes are checked whole before anything of it is used. Any
// other image is refused and start-up runs the library from the boot data.
#pragma once

namespace qel::console::boot::image {

// Whether the build asked this process to make the image
// (config::MAKE_IMAGE_ENV): it then starts from the boot data.
bool making();
// Making: notes the executable's writable data as runtime-init left it,
// before the library runs.
void note_start();
// Making: once the library has run, checks that every global start-up
// changed is declared, writes the image to the file the build named and
// ends the process (status 0, or 1 with a message on failure).
[[noreturn]] void make_and_exit();

// Takes the executable's image when there is one this process may use:
// the region and the C++ state are then as the library left them. False
// (nothing changed) when there is none, it is refused, or the environment
// asks for the boot data.
bool load();

}  // namespace qel::console::boot::image
