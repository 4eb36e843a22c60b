// port!: an object that stands for a channel of input and output.
//
// A port cell is an object cell (datatypes/object.hpp) with type byte 48,
// over a context made from system/standard/port: spec scheme actor awake
// state data extra. The datatype does no input or output itself: the series
// and I/O actions applied to a port call the function of the same name in
// the port's `actor` object (supplied by the scheme of system/schemes), with
// the port, the action's value arguments and then each refinement as a
// logic value followed by its arguments (none when the refinement is
// absent). read runs the actor's open, copy and close; write runs open
// /write, insert, copy and close.
#pragma once

#include "runtime/cell.hpp"

namespace qel::port {

void init();  // registers port! (after object!)

// make port! spec: a spec object, or a block made into a url-parts object.
// Raises access no-scheme, unknown-scheme or invalid-actor. Pushes the port.
Cell* make(const Cell* spec);

// The port! handlers of read, write and open, for the url! actions that
// hand a URL of a registered scheme to its port.
Cell* read(Cell* port, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* port, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as);
Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);

}  // namespace qel::port
