// The system clipboard over GTK 3: text, a file list (text/uri-list) and
// images (image/png, image/jpeg, image/gif as encoded bytes; any other image
// GTK offers as a pixbuf).
//
// GTK is loaded (dlopen) and started on first use with gtk_init_check;
// without the library or without a display every call fails softly: reading
// answers nothing, writing answers false.
// Callbacks from GTK only copy bytes prepared beforehand: nothing in them can
// raise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::platform::clipboard {

bool available();  // a display could be opened

enum class Kind { none, text, files, encoded_image, pixels, failed };

struct Content {
  Kind kind = Kind::none;
  std::string text;                     // text
  std::vector<std::string> paths;       // files: local paths (other URIs as they are)
  std::vector<std::uint8_t> bytes;      // encoded_image
  std::uint32_t width = 0, height = 0;  // pixels: 0xAARRGGBB words, straight alpha
  std::vector<std::uint32_t> pixels;
};

// The first of text, file list, encoded image, pixbuf that the clipboard
// holds.
Content read();

bool clear();
bool write_text(const std::string& utf8);
// A file list, offered as text/uri-list.
bool write_files(const std::vector<std::string>& paths);
// An image, offered as a pixbuf: GTK encodes it as image/png (and the other
// formats gdk-pixbuf writes) when asked.
bool write_image(std::uint32_t width, std::uint32_t height, const std::uint32_t* pixels);

}  // namespace qel::platform::clipboard
