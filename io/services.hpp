// The I/O services for the datatypes: what the actions of file! and url!
// need of files and the network, in one table. The datatypes include no
// other header of the I/O layer (the pure codecs of io/codecs/ excepted).
// Every entry is set statically to the I/O layer's own function
// (io/services.cpp) and is never null.
#pragma once

#include "runtime/actions.hpp"

namespace qel::io {

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
  // image!: a face's window as an image! (io/face_image.hpp), pushed; none
  // for a face without a window.
  Cell* (*face_to_image)(const Cell* face);
};
extern Services services;

}  // namespace qel::io
