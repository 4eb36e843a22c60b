// The input method of faces that take one (rich-text faces): keys are
// offered to it first; what it types arrives as characters down the road,
// and its compositions as ime events.
#pragma once

#include "view/window.hpp"

typedef struct _GdkEventKey GdkEventKey;

namespace qel::view::backend::input_method {

// An input method for the face window (once).
void add(window::Record& w);
// A key offered to the face's input method first; true when it took it.
// False for a window without one.
bool filter_key(window::Record& w, GdkEventKey* e);
// The keyboard focus came to the face or left it.
void focus(window::Record& w, bool in);
// The window's input method goes (window teardown).
void release(window::Record& w);

}  // namespace qel::view::backend::input_method
