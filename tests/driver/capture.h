// Reading the screen for the UI driver: GDI device contexts and bitmaps
// owned by RAII, a 32-bit canvas whose pixels we read, captures of screen
// areas, 24-bit BMP files (the screenshot step) and colour helpers (the pixel
// step and the icon matching of inspect.cpp). The steps are documented at
// the top of driver.cpp.
#pragma once

#include "tests/driver/base.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace ui {

struct GdiDeleter {
  void operator()(HGDIOBJ o) const noexcept { DeleteObject(o); }
};
using UniqueBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiDeleter>;

class ScreenDC {
 public:
  ScreenDC() : dc_(GetDC(nullptr)) {
    if (!dc_) fail(win_error("GetDC(NULL)"));
  }
  ~ScreenDC() { ReleaseDC(nullptr, dc_); }
  ScreenDC(const ScreenDC&) = delete;
  ScreenDC& operator=(const ScreenDC&) = delete;
  operator HDC() const { return dc_; }

 private:
  HDC dc_;
};

class MemoryDC {
 public:
  explicit MemoryDC(HDC like) : dc_(CreateCompatibleDC(like)) {
    if (!dc_) fail(win_error("CreateCompatibleDC"));
  }
  ~MemoryDC() { DeleteDC(dc_); }
  MemoryDC(const MemoryDC&) = delete;
  MemoryDC& operator=(const MemoryDC&) = delete;
  operator HDC() const { return dc_; }

 private:
  HDC dc_;
};

class Selection {
 public:
  Selection(HDC dc, HGDIOBJ obj) : dc_(dc), old_(SelectObject(dc, obj)) {}
  ~Selection() { SelectObject(dc_, old_); }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// A top-down 32-bit DIB section: GDI draws into it, we read its memory.
class Canvas {
 public:
  Canvas(HDC like, int w, int h);
  HDC dc() const { return dc_; }
  int width() const { return w_; }
  int height() const { return h_; }
  uint32_t at(int x, int y) const { return bits_[static_cast<size_t>(y) * w_ + x] & 0xFFFFFF; }

 private:
  MemoryDC dc_;
  UniqueBitmap bitmap_;
  std::optional<Selection> selection_;  // declared last: deselected before the bitmap dies
  const uint32_t* bits_ = nullptr;
  int w_, h_;
};

RECT screen_rect();
std::unique_ptr<Canvas> capture(const RECT& r);
void write_bmp(const Canvas& c, const std::string& path);
std::string color_name(uint32_t rgb);
uint32_t rgb_of(COLORREF c);
// Whether red, green and blue each differ by tolerance at most.
bool similar(uint32_t a, uint32_t b, int tolerance);

}  // namespace ui
