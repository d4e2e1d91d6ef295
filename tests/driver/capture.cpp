// Reading the screen; see capture.h.
#include "tests/driver/capture.h"

#include <cstdio>
#include <cstdlib>

namespace ui {

Canvas::Canvas(HDC like, int w, int h) : dc_(like), w_(w), h_(h) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  bitmap_.reset(CreateDIBSection(like, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap_) fail(win_error("CreateDIBSection"));
  bits_ = static_cast<const uint32_t*>(bits);
  selection_.emplace(dc_, bitmap_.get());
}

RECT screen_rect() {
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  return {x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

std::unique_ptr<Canvas> capture(const RECT& r) {
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) fail("nothing to capture: the area lies off the screen");
  ScreenDC screen;
  auto canvas = std::make_unique<Canvas>(screen, w, h);
  if (!BitBlt(canvas->dc(), 0, 0, w, h, screen, r.left, r.top, SRCCOPY | CAPTUREBLT))
    fail(win_error("BitBlt"));
  GdiFlush();
  return canvas;
}

void write_bmp(const Canvas& c, const std::string& path) {
  const DWORD stride = (static_cast<DWORD>(c.width()) * 3 + 3) & ~3u;
  const DWORD image = stride * static_cast<DWORD>(c.height());
  BITMAPFILEHEADER fh{};
  BITMAPINFOHEADER ih{};
  fh.bfType = 0x4D42;  // "BM"
  fh.bfOffBits = sizeof fh + sizeof ih;
  fh.bfSize = fh.bfOffBits + image;
  ih.biSize = sizeof ih;
  ih.biWidth = c.width();
  ih.biHeight = c.height();  // positive: rows bottom-up, as every reader expects
  ih.biPlanes = 1;
  ih.biBitCount = 24;
  ih.biCompression = BI_RGB;
  ih.biSizeImage = image;
  std::string data(reinterpret_cast<const char*>(&fh), sizeof fh);
  data.append(reinterpret_cast<const char*>(&ih), sizeof ih);
  std::string row(stride, '\0');
  for (int y = c.height() - 1; y >= 0; --y) {
    for (int x = 0; x < c.width(); ++x) {
      const uint32_t p = c.at(x, y);
      row[x * 3] = static_cast<char>(p & 0xFF);
      row[x * 3 + 1] = static_cast<char>((p >> 8) & 0xFF);
      row[x * 3 + 2] = static_cast<char>((p >> 16) & 0xFF);
    }
    data += row;
  }
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) fail(win_error("CreateFileA") + " for " + path);
  DWORD written = 0;
  if (!WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
      written != data.size())
    fail(win_error("WriteFile") + " for " + path);
}

std::string color_name(uint32_t rgb) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%06x", static_cast<unsigned>(rgb));
  return buf;
}

uint32_t rgb_of(COLORREF c) {
  return GetRValue(c) << 16 | GetGValue(c) << 8 | GetBValue(c);
}

bool similar(uint32_t a, uint32_t b, int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int da = static_cast<int>((a >> shift) & 0xFF),
              db = static_cast<int>((b >> shift) & 0xFF);
    if (std::abs(da - db) > tolerance) return false;
  }
  return true;
}

}  // namespace ui
