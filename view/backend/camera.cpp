#include "view/backend/camera.hpp"

#include <fcntl.h>
#include <glob.h>
#include <gtk/gtk.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/image.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/api.hpp"
#include "platform/console.hpp"
#include "runtime/stack.hpp"
#include "view/backend/container.hpp"
#include "view/backend/windows.hpp"
#include "view/backend/yuyv.hpp"
#include "view/face.hpp"
#include "view/units.hpp"

namespace qel::view::backend::camera {

namespace {

using window::Record;

enum State : int { IDLE = 0, WANTED = 1, READY = 2, COPYING = 3 };

struct Device {
  std::string path, card;
};

struct Camera {
  u32 window_id = 0;
  int fd = -1;
  u32 width = 0, height = 0, stride = 0, format = 0;
  std::vector<std::pair<void*, std::size_t>> maps;
  std::thread worker;
  std::atomic<bool> stop{false};
  // The handshake of single frames.
  std::atomic<int> state{IDLE};
  std::vector<u32> frame;
  // The live picture: the newest frame, and whether a paint is on its way.
  std::mutex live_mutex;
  std::vector<u32> live;
  bool live_new = false;
  std::atomic<bool> paint_posted{false};
};

std::map<u32, std::unique_ptr<Camera>> g_cameras;  // by window id; GUI thread only

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ioctl(fd, request, arg);
  while (r == -1 && errno == EINTR);
  return r;
}

std::vector<Device> list_devices() {
  std::vector<Device> out;
  glob_t g{};
  if (glob("/dev/video*", 0, nullptr, &g) == 0) {
    for (std::size_t i = 0; i < g.gl_pathc; ++i) {
      int fd = ::open(g.gl_pathv[i], O_RDWR | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      v4l2_capability cap{};
      if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
        u32 caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        if ((caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING))
          out.push_back({g.gl_pathv[i], reinterpret_cast<const char*>(cap.card)});
      }
      ::close(fd);
    }
  }
  globfree(&g);
  return out;
}

// A frame's bytes into BGRA words (false when they make no picture).
bool convert(const Camera& c, const u8* bytes, std::size_t length, std::vector<u32>& out) {
  out.resize(std::size_t(c.width) * c.height);
  if (c.format == V4L2_PIX_FMT_YUYV) {
    yuyv::to_bgra(bytes, length, c.width, c.height, c.stride, out.data());
    return true;
  }
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("jpeg", nullptr);
  if (!loader) return false;
  bool written = gdk_pixbuf_loader_write(loader, bytes, length, nullptr);
  bool ok = gdk_pixbuf_loader_close(loader, nullptr) && written;  // closed in any case
  GdkPixbuf* pb = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
  ok = pb && u32(gdk_pixbuf_get_width(pb)) == c.width && u32(gdk_pixbuf_get_height(pb)) == c.height;
  if (ok) {
    int n = gdk_pixbuf_get_n_channels(pb), rs = gdk_pixbuf_get_rowstride(pb);
    const guchar* px = gdk_pixbuf_read_pixels(pb);
    for (u32 y = 0; y < c.height; ++y)
      for (u32 x = 0; x < c.width; ++x) {
        const guchar* p = px + std::size_t(y) * std::size_t(rs) + std::size_t(x) * std::size_t(n);
        out[std::size_t(y) * c.width + x] = 0xFF000000u | u32(p[0]) << 16 | u32(p[1]) << 8 | p[2];
      }
  }
  g_object_unref(loader);
  return ok;
}

gboolean paint_live(gpointer data);
gboolean deliver(gpointer data);

// Runs fn on the GUI thread, in the main context's next iteration. (Not
// g_main_context_invoke: while the GUI thread runs scripts the context is
// free, and that would call fn on the capture thread.)
void post(GSourceFunc fn, u32 window_id) { g_idle_add_full(G_PRIORITY_DEFAULT, fn, GUINT_TO_POINTER(window_id), nullptr); }

// The capture thread: each frame taken from the driver goes to the live
// picture and, when one is wanted, to the frame buffer.
void capture(Camera* c) {
  std::vector<u32> pixels;
  while (!c->stop.load()) {
    pollfd p{c->fd, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r <= 0) {
      if (r < 0 && errno != EINTR) break;
      continue;
    }
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    if (xioctl(c->fd, VIDIOC_DQBUF, &b) != 0) {
      if (errno == EAGAIN) continue;
      break;
    }
    const u8* bytes = static_cast<const u8*>(c->maps[b.index].first);
    std::size_t length = std::min<std::size_t>(b.bytesused, c->maps[b.index].second);
    bool ok = convert(*c, bytes, length, pixels);
    xioctl(c->fd, VIDIOC_QBUF, &b);
    if (!ok) continue;
    int wanted = WANTED;
    if (c->state.compare_exchange_strong(wanted, COPYING)) {
      std::copy(pixels.begin(), pixels.begin() + std::min(pixels.size(), c->frame.size()), c->frame.begin());
      std::atomic_thread_fence(std::memory_order_seq_cst);
      c->state.store(READY);
      post(deliver, c->window_id);
    }
    {
      std::lock_guard<std::mutex> lock(c->live_mutex);
      c->live.swap(pixels);
      c->live_new = true;
    }
    if (!c->paint_posted.exchange(true)) post(paint_live, c->window_id);
  }
}

Camera* find(u32 id) {
  auto it = g_cameras.find(id);
  return it == g_cameras.end() ? nullptr : it->second.get();
}

// A ready frame as an image! (pushed), then the state back to idle.
Cell* take_frame(Camera* c) {
  Cell* img = image::push_from_pixels(c->width, c->height, c->frame.data());
  std::atomic_thread_fence(std::memory_order_seq_cst);
  c->state.store(IDLE);
  return img;
}

// A frame ready on the GUI thread: the face's `image` when it is none.
gboolean deliver(gpointer data) {
  u32 id = GPOINTER_TO_UINT(data);
  Camera* c = find(id);
  Record* w = window::find(id);
  if (!c || !w || c->state.load() != READY) return G_SOURCE_REMOVE;
  Cell* f = window::face(*w);
  Cell* image = f ? face::facet(f, face::IMAGE) : nullptr;
  if (!image || !is_none(image)) return G_SOURCE_REMOVE;
  Cell* img = take_frame(c);
  if ((f = window::face(*w)))
    if ((image = face::facet(f, face::IMAGE))) copy_cell(img, image);
  stack::pop(1);
  return G_SOURCE_REMOVE;
}

// The newest frame painted in the face, letterboxed to the video's aspect.
gboolean paint_live(gpointer data) {
  u32 id = GPOINTER_TO_UINT(data);
  Camera* c = find(id);
  Record* w = window::find(id);
  if (!c) return G_SOURCE_REMOVE;
  c->paint_posted.store(false);
  GtkWidget* g = w ? windows::widget(*w) : nullptr;
  if (!g) return G_SOURCE_REMOVE;
  int ww = gtk_widget_get_allocated_width(g), wh = gtk_widget_get_allocated_height(g);
  if (ww <= 1 || wh <= 1 || !c->width || !c->height) return G_SOURCE_REMOVE;
  cairo_surface_t* frame = cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(c->width), int(c->height));
  {
    std::lock_guard<std::mutex> lock(c->live_mutex);
    if (!c->live_new || c->live.size() < std::size_t(c->width) * c->height) {
      cairo_surface_destroy(frame);
      return G_SOURCE_REMOVE;
    }
    c->live_new = false;
    unsigned char* out = cairo_image_surface_get_data(frame);
    int stride = cairo_image_surface_get_stride(frame);
    for (u32 y = 0; y < c->height; ++y)
      std::memcpy(out + std::size_t(y) * std::size_t(stride), c->live.data() + std::size_t(y) * c->width, c->width * 4);
  }
  cairo_surface_mark_dirty(frame);
  // The picture at the video's aspect ratio q, centred: the full width
  // when the height allows it, else the full height.
  double q = double(c->width) / double(c->height);
  double pw = ww, ph = wh, left = 0, top = 0;
  if (wh * q >= ww) {
    ph = ww / q;
    top = (wh - ph) / 2;
  } else {
    pw = wh * q;
    left = (ww - pw) / 2;
  }
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, ww, wh);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_paint(cr);
  cairo_translate(cr, left, top);
  cairo_scale(cr, pw / c->width, ph / c->height);
  cairo_set_source_surface(cr, frame, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_destroy(frame);
  container::set_surface(g, s);
  cairo_surface_destroy(s);
  gtk_widget_queue_draw(g);
  return G_SOURCE_REMOVE;
}

void stop(u32 id) {
  auto it = g_cameras.find(id);
  if (it == g_cameras.end()) return;
  Camera* c = it->second.get();
  c->stop.store(true);
  if (c->worker.joinable()) c->worker.join();
  if (c->fd >= 0) {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    xioctl(c->fd, VIDIOC_STREAMOFF, &type);
    for (auto& m : c->maps) munmap(m.first, m.second);
    ::close(c->fd);
  }
  g_cameras.erase(it);
}

// The video's aspect ratio (width / height) into the face's `ratio`, when
// that word holds a float!.
void write_ratio(Record& w, u32 width, u32 height) {
  u32 ratio = symbol::make("ratio");
  const Cell* f = window::face(w);
  if (!f || !height || type_of(f) != TYPE_OBJECT) return;
  u32 ctx = object::context_of(f);
  i32 at = context::find_word(ctx, ratio, true);
  Cell* slot = at < 0 ? nullptr : context::slot(ctx, u32(at));
  if (slot && type_of(slot) == TYPE_FLOAT) make_float(slot, double(width) / double(height));
}

void fail(const std::string& path, const char* what) {
  platform::console::write_utf8("Error " + path + ": " + what + ": " + std::strerror(errno), true);
}

// Opens the device for the window and starts capturing at about the face's
// size; prints why when it cannot.
void start(Record& w, const Device& d) {
  auto c = std::make_unique<Camera>();
  c->window_id = w.id;
  c->fd = ::open(d.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (c->fd < 0) {
    fail(d.path, "cannot open the device");
    return;
  }
  int fw = 640, fh = 480;
  if (const Cell* f = window::face(w)) units::read_pixels(face::facet(f, face::SIZE), &fw, &fh);
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  bool set = false;
  for (u32 pf : {u32(V4L2_PIX_FMT_YUYV), u32(V4L2_PIX_FMT_MJPEG)}) {
    fmt.fmt.pix.width = u32(std::max(fw, 16));
    fmt.fmt.pix.height = u32(std::max(fh, 16));
    fmt.fmt.pix.pixelformat = pf;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    if (xioctl(c->fd, VIDIOC_S_FMT, &fmt) == 0 && fmt.fmt.pix.pixelformat == pf) {
      set = true;
      break;
    }
  }
  auto give_up = [&](const char* what) {
    fail(d.path, what);
    for (auto& m : c->maps) munmap(m.first, m.second);
    ::close(c->fd);
  };
  if (!set) return give_up("no YUYV or MJPEG format");
  c->width = fmt.fmt.pix.width;
  c->height = fmt.fmt.pix.height;
  c->stride = fmt.fmt.pix.bytesperline ? fmt.fmt.pix.bytesperline : c->width * 2;
  c->format = fmt.fmt.pix.pixelformat;
  write_ratio(w, c->width, c->height);
  c->frame.assign(std::size_t(c->width) * c->height, 0);
  v4l2_requestbuffers req{};
  req.count = 4;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (xioctl(c->fd, VIDIOC_REQBUFS, &req) != 0 || req.count < 1) return give_up("cannot stream");
  for (u32 i = 0; i < req.count; ++i) {
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = i;
    if (xioctl(c->fd, VIDIOC_QUERYBUF, &b) != 0) return give_up("cannot stream");
    void* m = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, c->fd, b.m.offset);
    if (m == MAP_FAILED) return give_up("cannot map its buffers");
    c->maps.emplace_back(m, b.length);
    if (xioctl(c->fd, VIDIOC_QBUF, &b) != 0) return give_up("cannot stream");
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (xioctl(c->fd, VIDIOC_STREAMON, &type) != 0) return give_up("cannot start streaming");
  Camera* raw = c.get();
  g_cameras[w.id] = std::move(c);
  raw->worker = std::thread(capture, raw);
}

void start_selected(Record& w, const std::vector<Device>& devices) {
  const Cell* f = window::face(w);
  const Cell* sel = f ? face::facet(f, face::SELECTED) : nullptr;
  if (!sel || type_of(sel) != TYPE_INTEGER) return;
  i32 i = int_of(sel);
  if (i >= 1 && std::size_t(i) <= devices.size()) start(w, devices[std::size_t(i - 1)]);
}

}  // namespace

void open(Record& w) {
  std::vector<Device> devices = list_devices();
  u32 id = w.id;
  {
    api::Values v(2);
    block::make_at(v[0], i32(devices.size()));
    for (const Device& d : devices) {
      string::load_at(reinterpret_cast<const u8*>(d.card.data()), u32(d.card.size()), v[1], string::Encoding::utf8);
      block::append_copy(v[0], v[1]);
    }
    Record* r = window::find(id);
    if (Cell* data = r && window::face(*r) ? face::facet(window::face(*r), face::DATA) : nullptr) copy_cell(v[0], data);
  }
  if (Record* r = window::find(id)) start_selected(*r, devices);
}

void switch_device(Record& w) {
  stop(w.id);
  start_selected(w, list_devices());
}

void want_frame(Record& w) {
  Camera* c = find(w.id);
  const Cell* f = window::face(w);
  const Cell* image = f ? face::facet(f, face::IMAGE) : nullptr;
  if (!c || !image || !is_none(image) || c->state.load() != IDLE) return;
  c->state.store(WANTED);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void resized(Record& w) {
  if (Camera* c = find(w.id)) {
    std::lock_guard<std::mutex> lock(c->live_mutex);
    c->live_new = !c->live.empty();
  }
  if (find(w.id)) paint_live(GUINT_TO_POINTER(w.id));
}

void release(Record& w) { stop(w.id); }

Cell* grab_frame(Record& w) {
  Camera* c = find(w.id);
  if (!c) return make_none(stack::push());
  int idle = IDLE;
  c->state.compare_exchange_strong(idle, WANTED);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (c->state.load() != READY && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  int wanted = WANTED;
  if (c->state.compare_exchange_strong(wanted, IDLE)) return make_none(stack::push());  // no frame came
  while (c->state.load() == COPYING) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return take_frame(c);
}

}  // namespace qel::view::backend::camera
