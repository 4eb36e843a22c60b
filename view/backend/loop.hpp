// The message loop: `gui/do-events` over GLib's main context, re-entrant.
//
// Each blocking loop is a frame on a stack of running loops, owned by the
// window the framework runs it for (the last window of the first screen
// that holds one, as `do-events` chooses it). A loop ends when its frame is
// marked ending: `exit-event-loop` marks the innermost one (marking it
// twice is marking it once, as a quit request is); destroying a window that
// ran loops (`destroy-view` with its flag) marks exactly the loops it owns,
// or the innermost one when it owns none. A frame below the innermost ends
// as soon as the loops above it have returned.
//
// Messages posted for the loop (queued events, window commands) are taken
// before the toolkit's next event. Input that arrives while the backend
// waits inside GTK for something else (the clipboard's nested loop) is
// deferred: kept, and put back in GTK's queue once the wait is over, so
// that no handler runs in the middle of a routine.
#pragma once

#include "runtime/cell.hpp"
#include "view/messages.hpp"
#include "view/window.hpp"

typedef union _GdkEvent GdkEvent;

namespace qel::view::backend::loop {

// Installs the input road (GDK's event handler); once, when the display is open.
void install();
// What the handler does with each GDK event: kept back while the backend
// waits inside GTK or long work is pumped, to the toolkit alone under its
// own grab, else down the road (translate::on_gdk_event).
void handle(GdkEvent* e);

// gui/do-events: with no_wait, handles at most one message and answers
// whether there was one; else runs until its frame is marked ending and
// answers whether any message was handled.
bool do_events(bool no_wait);
// Handles what is pending, without blocking (`wait`).
void pump();
// The console's long work (entry.hpp's pump_work): pump() for the window
// (a window face) only, with key input and every other window's input and
// timers held back until the next loop starts; whether Ctrl+C or Escape
// was pressed meanwhile. Nothing happens inside a loop or a dispatch.
bool pump_work(const Cell* window);
// After a window is destroyed: the events the display holds are read into
// GDK without running any handler; those of destroyed windows are dropped,
// the others put back in their order. A script that shows and closes
// windows without running a loop would otherwise keep every event of every
// closed window queued for good.
void drop_stale_events();
// Called when a blocking loop starts, once the input held back by long work
// is back in the queue, and before a no-wait loop takes its message
// (registered once: what waited for the next loop).
void on_loop_start(void (*start)());
// exit-event-loop: the innermost running loop ends.
void exit_loop();
// The loops the window owns end (destroy-view of a window that ran one).
void end_loops_of(u32 window_id);
// Number of blocking loops running.
u32 depth();

// A message for the loop to dispatch (pre-processing, then its procedure).
void post(const messages::Message& m);
// OS-send-event: a made event as the message it stands for, taken down the
// road now or, queued, posted for the loop (input::send_event says when
// there is none).
bool send_event(const Cell* event, bool queued);

// Input deferral while the backend waits inside GTK.
struct Defer {
  Defer();
  ~Defer();
  Defer(const Defer&) = delete;
  Defer& operator=(const Defer&) = delete;
};
bool deferring();
// Whether the window's actors may run now: no long work is pumped, or the
// window lies in the one that pump_work keeps alive.
bool may_act(const window::Record& w);

// The `rate` timer of a face window: an integer! n >= 1 ticks 1000 / n ms
// apart, a time! t > 0 every t seconds, none stops it; anything else raises
// script invalid-facet-type with the value before anything changes.
void set_timer(window::Record& w, const Cell* rate);
void kill_timer(u32 window_id);

// Routine bodies: do-event-loop, exit-event-loop.
void do_event_loop();
void exit_event_loop();

}  // namespace qel::view::backend::loop
