#include "platform/win32/Snapshot.h"

#include "platform/win32/Desktop.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/PngWriter.h"
#include "platform/win32/WindowManager.h"
#include "platform/win32/WindowSurfaces.h"

namespace plat::win32::picture {
namespace {

bool HasPicture(HWND top) {
  const Window* window = Desktop::Get().Find(top);
  return window != nullptr && Visible(top) && !(window->style & WS_MINIMIZE);
}

}  // namespace

std::shared_ptr<const RasterSurface> Snapshot(const input::Target& target) {
  Desktop& d = Desktop::Get();
  if (!OnHost()) return nullptr;
  const HWND top = TopLevelOf(FindTarget(target));
  if (!HasPicture(top)) return nullptr;
  const Window* window = d.Find(top);
  const uint32_t thread = window->threadId;
  WindowSurfaces::Get().Draw(top, window->rect.right - window->rect.left, window->rect.bottom - window->rect.top);
  InvalidateTree(top, true);
  SettleThread(thread);
  if (!HasPicture(top)) return nullptr;
  std::shared_ptr<RasterSurface> surface = WindowSurfaces::Get().SurfaceOf(top);
  return surface != nullptr ? std::make_shared<RasterSurface>(*surface) : nullptr;
}

std::vector<uint8_t> Png(const input::Target& window) {
  std::shared_ptr<const RasterSurface> surface = Snapshot(window);
  return surface != nullptr ? PngWriter::Encode(*surface) : std::vector<uint8_t>{};
}

bool WritePng(const input::Target& window, const std::string& path) {
  std::shared_ptr<const RasterSurface> surface = Snapshot(window);
  return surface != nullptr && PngWriter::Write(*surface, path);
}

std::string DumpDrawing() {
  const WindowSurfaces& surfaces = WindowSurfaces::Get();
  return DumpWindowTree([&surfaces](HWND hwnd, int depth, std::string* out) {
    const std::string indent(static_cast<size_t>(depth) * 2 + 2, ' ');
    auto put = [&](const char* what, const DrawingRecord* record) {
      if (record == nullptr || record->Operations().empty()) return;
      *out += indent + what + ":\n";
      for (const DrawingOperation& operation : record->Operations())
        *out += indent + "  " + DrawingRecord::PrintOperation(operation) + "\n";
    };
    put("frame", surfaces.LastFrame(hwnd));
    put("paint", surfaces.LastPaint(hwnd));
  });
}

}  // namespace plat::win32::picture
