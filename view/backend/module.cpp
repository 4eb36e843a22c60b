// The module's table of entry points (view/backend/entry.hpp): the one
// symbol the core looks up. A routine's body is set here, one line each,
// next to the file that holds it.
#include <cstring>

#include "view/backend/base.hpp"
#include "view/backend/builder.hpp"
#include "view/backend/clipboard.hpp"
#include "view/backend/dialogs.hpp"
#include "view/backend/display.hpp"
#include "view/backend/draw/routine.hpp"
#include "view/backend/entry.hpp"
#include "view/backend/font_dialog.hpp"
#include "view/backend/loop.hpp"
#include "view/backend/painter.hpp"
#include "view/backend/screens.hpp"
#include "view/backend/setup.hpp"
#include "view/backend/text/draw_commands.hpp"
#include "view/backend/text/fonts.hpp"
#include "view/backend/text/format.hpp"
#include "view/backend/text/text_box.hpp"
#include "view/backend/text/updates.hpp"
#include "view/backend/widgets.hpp"

// The build identity both sides hold (view/backend/entry.hpp).
#ifndef QEL_BUILD_IDENTITY
#error "QEL_BUILD_IDENTITY is given by the build (tools/core.cmake)"
#endif

namespace qel::view::backend {

void test_hook();  // test_hook.cpp

namespace {

Entries make_entries() {
  Entries e{};
  e.abi = ABI_VERSION;
  e.size = sizeof(Entries);
  // Routine bodies, by slot of system/view/platform.
  e.routines[SLOT_FETCH_ALL_SCREENS] = screens::fetch_all_screens;    // screens.cpp
  e.routines[SLOT_GET_CURRENT_SCREEN] = screens::get_current_screen;
  e.routines[SLOT_GET_SCREEN_SIZE] = screens::get_screen_size;
  e.routines[SLOT_REFRESH_WINDOW] = painter::refresh_window;         // painter.cpp
  e.routines[SLOT_REDRAW] = painter::redraw_face;
  e.routines[SLOT_SHOW_WINDOW] = painter::show_window;
  e.routines[SLOT_UPDATE_TEXT] = widgets::update_text;                // widgets.cpp
  e.routines[SLOT_SET_DARK_MODE] = setup::set_dark_mode;              // setup.cpp
  e.routines[SLOT_SUPPORT_DARK_MODE_Q] = setup::support_dark_mode_q;
  e.routines[SLOT_DRAW_IMAGE] = draw::draw_image_routine;             // draw/routine.cpp
  e.routines[SLOT_TOGGLE_GPU] = text::toggle_gpu_routine;           // text/format.cpp
  e.routines[SLOT_MAKE_VIEW] = builder::make_view;                     // builder.cpp
  e.routines[SLOT_UPDATE_VIEW] = builder::update_view;
  e.routines[SLOT_ON_CHANGE_FACET] = builder::on_change_facet;
  e.routines[SLOT_DESTROY_VIEW] = builder::destroy_view;
  e.routines[SLOT_DRAW_FACE] = base::draw_face;                        // base.cpp
  e.routines[SLOT_DO_EVENT_LOOP] = loop::do_event_loop;                // loop.cpp
  e.routines[SLOT_EXIT_EVENT_LOOP] = loop::exit_event_loop;
  e.routines[SLOT_UPDATE_SCROLLER] = widgets::update_scroller;         // widgets.cpp
  e.routines[SLOT_SIZE_TEXT] = text::size_text_routine;               // text/text_box.cpp
  e.routines[SLOT_TEXT_BOX_METRICS] = text::text_box_metrics_routine;
  e.routines[SLOT_UPDATE_FONT] = text::update_font_routine;          // text/updates.cpp
  e.routines[SLOT_UPDATE_PARA] = text::update_para_routine;
  e.routines[SLOT_REQUEST_FONT] = font_dialog::request_font;          // font_dialog.cpp
  e.routines[SLOT_REQUEST_FILE] = dialogs::request_file;              // dialogs.cpp
  e.routines[SLOT_REQUEST_DIR] = dialogs::request_dir;

  e.gui_init = setup::gui_init;
  e.test_hook = test_hook;
  e.clipboard_read = clipboard::read;
  e.clipboard_write = clipboard::write;
  e.pump = loop::pump;
  e.send_event = loop::send_event;
  e.face_to_image = builder::face_to_image;
  e.caret_blink_time = setup::caret_blink_time;
  e.display_open = display::open;
  e.pump_work = loop::pump_work;
  e.redraw_area = painter::redraw_area;
  e.painting_area = painter::painting_area;
  return e;
}

const Entries g_entries = make_entries();

}  // namespace

}  // namespace qel::view::backend

extern "C" const qel::view::backend::Entries* qel_backend_entries(qel::u32 abi, qel::u32 size,
                                                                  const char* build) {
  using namespace qel::view::backend;
  if (abi != ABI_VERSION || size != sizeof(Entries)) return nullptr;
  if (!build || std::strcmp(build, QEL_BUILD_IDENTITY) != 0) return nullptr;
  // The text engine's commands into the draw engine's table, before any drawing.
  text::install_draw_commands();
  return &g_entries;
}
