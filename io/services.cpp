// The I/O services table (runtime/io_services.hpp): the I/O layer's own
// functions.
#include "runtime/io_services.hpp"

#include "io/files.hpp"
#include "io/http.hpp"
#include "platform/image_state.hpp"

namespace qel::io_services {

Services services = {
    .file_read = io::files::read,
    .file_write = io::files::write,
    .file_delete = io::files::delete_,
    .file_query = io::files::query,
    .file_rename = io::files::rename,
    .url_read = io::http::read,
    .url_write = io::http::write,
};
// The GUI core side gives the face capture during start-up.
QEL_IMAGE_KEEP_POINTERS(services);

}  // namespace qel::io_services
