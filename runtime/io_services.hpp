// The I/O services for the datatypes: what the actions of file! and url!
// need of files and the network, in one table, filled by the layers above
// (the datatypes include no header of the I/O layer). The file! and url!
// entries are set statically to the I/O layer's own functions
// (io/services.cpp) and are never null; the face capture is given by the
// GUI core side at start-up.
#pragma once

#include "runtime/actions.hpp"

namespace qel::io_services {

struct Services {
  // file!: the handlers of io/files.hpp.
  act::Read file_read;
  act::Write file_write;
  act::Unary file_delete;
  act::Unary file_query;
  act::Binary file_rename;
  // url!: the handlers of io/http.hpp.
  act::Read url_read;
  act::Write url_write;
  // image!: a face's window as an image!, pushed; none for a face without a
  // window. The GUI core side gives it at start-up (view/desktop.hpp); none
  // until then.
  Cell* (*face_to_image)(const Cell* face);
};
extern Services services;

}  // namespace qel::io_services
