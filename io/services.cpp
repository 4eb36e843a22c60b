// The I/O services table (io/services.hpp): the I/O layer's own functions.
#include "io/services.hpp"

#include "io/face_image.hpp"
#include "io/files.hpp"
#include "io/http.hpp"

namespace qel::io {

Services services = {
    .file_read = files::read,
    .file_write = files::write,
    .file_delete = files::delete_,
    .file_query = files::query,
    .file_rename = files::rename,
    .url_read = http::read,
    .url_write = http::write,
    .face_to_image = face_image::capture,
};

}  // namespace qel::io
