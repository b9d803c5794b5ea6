// What the native windows share: the dialog font and its scale, pictures
// decoded with the Windows Imaging Component, the program icon.
#include "platform/win32/win32_views.h"

#include "platform/resources.h"

#include <iterator>
#include <string>
#include <vector>

#include <objbase.h>
#include <shlwapi.h>
#include <wincodec.h>

namespace corvantix::win32 {
namespace {

// A COM interface pointer that releases on scope exit.
template <typename T> class Com {
public:
  Com() = default;
  ~Com() {
    if (p_)
      p_->Release();
  }
  Com(const Com &) = delete;
  Com &operator=(const Com &) = delete;
  T *operator->() const { return p_; }
  T **out() { return &p_; }
  T *get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

private:
  T *p_ = nullptr;
};

constexpr wchar_t alphabet[] =
    L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

} // namespace

// The message font is the dialog font of current Windows. Its average
// character cell is measured as dialog units are: the alphabet's width
// over 52, rounded, and the font's height.
DialogFont::DialogFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
    font_ = CreateFontIndirectW(&metrics.lfMessageFont);
  else
    font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font_);
  TEXTMETRICW text{};
  SIZE extent{};
  if (GetTextMetricsW(dc, &text) &&
      GetTextExtentPoint32W(dc, alphabet, 52, &extent) && text.tmHeight > 0)
    scale_ = Scale::of_font((extent.cx / 26 + 1) / 2, text.tmHeight);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
}

Picture load_picture(const char *name) {
  std::unique_ptr<std::istream> in = platform::open_resource(name);
  if (!in)
    return {};
  std::vector<BYTE> bytes{std::istreambuf_iterator<char>(*in), {}};

  Com<IWICImagingFactory> factory;
  Com<IStream> stream;
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
  Com<IWICFormatConverter> converter;
  *stream.out() = SHCreateMemStream(bytes.data(), UINT(bytes.size()));
  UINT width = 0, height = 0;
  if (!stream ||
      FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr,
                              CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              reinterpret_cast<void **>(factory.out()))) ||
      FAILED(factory->CreateDecoderFromStream(
          stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.out())) ||
      FAILED(decoder->GetFrame(0, frame.out())) ||
      FAILED(factory->CreateFormatConverter(converter.out())) ||
      FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA,
                                   WICBitmapDitherTypeNone, nullptr, 0,
                                   WICBitmapPaletteTypeCustom)) ||
      FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0)
    return {};

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = LONG(width);
  info.bmiHeader.biHeight = -LONG(height); // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap)
    return {};
  Picture picture(bitmap, int(width), int(height));
  UINT stride = width * 4;
  auto *pixels = static_cast<BYTE *>(bits);
  if (FAILED(converter->CopyPixels(nullptr, stride, stride * height, pixels)))
    return {};
  // Premultiplied colour over white: c + (255 - alpha).
  for (UINT i = 0; i < stride * height; i += 4) {
    BYTE clear = BYTE(255 - pixels[i + 3]);
    for (int c = 0; c < 3; ++c)
      pixels[i + c] = BYTE(pixels[i + c] + clear);
    pixels[i + 3] = 255;
  }
  GdiFlush();
  return picture;
}

void set_program_icon(HWND window) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto load = [&](int metric_x, int metric_y) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                         GetSystemMetrics(metric_x),
                                         GetSystemMetrics(metric_y), LR_SHARED));
  };
  if (HICON big = load(SM_CXICON, SM_CYICON))
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  if (HICON little = load(SM_CXSMICON, SM_CYSMICON))
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(little));
}

} // namespace corvantix::win32
