#include "view/desktop.hpp"

#include "runtime/api.hpp"
#include "eval/library_routines.hpp"
#include "runtime/io_services.hpp"
#include "view/clipboard.hpp"
#include "view/face_image.hpp"
#include "view/module.hpp"

namespace qel::view::desktop {

int caret_blink_time() {
  const view::backend::Entries* m = view::module::load();
  return m && m->caret_blink_time ? m->caret_blink_time() : -1;
}

namespace {

void read_clipboard() {
  Cell v = *clipboard::read();
  api::set_result(&v);
}

void write_clipboard() { api::answer_logic(clipboard::write(api::arg(0))); }

void get_caret_blink_time() {
  make_integer(api::result(), caret_blink_time());
  api::keep_result();
}

}  // namespace

void define_routines() {
  library::define_global_routine(
      "read-clipboard",
      "[\"Return the contents of the system clipboard\" return: [any-type!] \"false on failure, none if "
      "empty, otherwise: string!, block! of files!, or an image!\"]",
      read_clipboard);
  library::define_global_routine(
      "write-clipboard",
      "[\"Write content to the system clipboard\" data [any-type!] \"string!, block! of files!, an image! "
      "or none!\" return: [logic!] \"indicates success\"]",
      write_clipboard);
  library::define_global_routine(
      "get-caret-blink-time",
      "[\"The caret blink time in milliseconds, -1 when it does not blink\" return: [integer!]]",
      get_caret_blink_time);
  io_services::services.face_to_image = face_image::capture;
}

}  // namespace qel::view::desktop
