// The exact-size container of face windows: each child gets exactly the
// rectangle its face asks for (pixels, relative to the container), never
// more and never less, even when its widget asks for more (a wrapping
// label at its narrowest). The container itself asks for no minimum size, so a
// window shrinks freely, and for a natural size of its own (a window's
// client size). It may paint a backing surface (a self-drawn face) or a
// background colour under its children.
//
// The compact style sheet that goes with it lowers GTK's minimum sizes for
// the widgets of faces (the style class "qel"), so that common face sizes
// (a 60x23 button, an 80x23 field) draw whole within their rectangles.
#pragma once

#include <cairo.h>

typedef struct _GtkWidget GtkWidget;

namespace qel::view::backend::container {

// A new container; with_window: it has a window of its own (events,
// clipping), as every face container does.
GtkWidget* make(bool with_window);
bool is(GtkWidget* w);

// Places a child, or moves an existing one, at x, y with the size.
void put(GtkWidget* box, GtkWidget* child, int x, int y, int width, int height);
void move(GtkWidget* box, GtkWidget* child, int x, int y);
void resize(GtkWidget* box, GtkWidget* child, int width, int height);
// The rectangle a child was given; false when it is no child of the box.
bool rect(GtkWidget* box, GtkWidget* child, int* x, int* y, int* width, int* height);
// A child that fills the box whatever its size, drawn under the others
// (a group box's frame, a tab panel's tabs). Not a face; null removes it.
void set_backdrop(GtkWidget* box, GtkWidget* child);
GtkWidget* backdrop(GtkWidget* box);
// The children's stacking, bottom first, for those given (others keep
// their place below them).
void restack(GtkWidget* box, GtkWidget* const* children, int count);

// The size the container asks for (a window's client size).
void set_natural(GtkWidget* box, int width, int height);
// The surface painted under the children, scaled 1:1 from the top-left
// (the container keeps a reference; null for none). With `changed`, only
// that rectangle of it differs from the surface before (none when it is
// empty): only it is drawn again.
void set_surface(GtkWidget* box, cairo_surface_t* surface, const cairo_rectangle_int_t* changed = nullptr);
// A background colour (0xAARRGGBB straight alpha), or none. The surface
// and the colour are painted within the box's own rectangle only.
void set_background(GtkWidget* box, bool on, unsigned argb);

// Installs the compact style sheet for the screen (once).
void install_style();
// Marks a widget as a face's (the style sheet's class).
void style(GtkWidget* w);

}  // namespace qel::view::backend::container
