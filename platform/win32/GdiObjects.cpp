#include "platform/win32/GdiObjects.h"

#include <iterator>

#include "platform/win32/DeviceContext.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"

namespace plat::win32 {

namespace {

struct SystemColourEntry {
  int index;
  uint32_t colour;  // COLORREF: 0x00BBGGRR
};

// The classic scheme, every index from COLOR_SCROLLBAR to COLOR_MENUBAR.
constexpr SystemColourEntry kSystemColours[] = {
    {0, 0xC0C0C0},   // COLOR_SCROLLBAR
    {1, 0x808000},   // COLOR_BACKGROUND
    {2, 0x800000},   // COLOR_ACTIVECAPTION
    {3, 0x808080},   // COLOR_INACTIVECAPTION
    {4, 0xC0C0C0},   // COLOR_MENU
    {5, 0xFFFFFF},   // COLOR_WINDOW
    {6, 0x000000},   // COLOR_WINDOWFRAME
    {7, 0x000000},   // COLOR_MENUTEXT
    {8, 0x000000},   // COLOR_WINDOWTEXT
    {9, 0xFFFFFF},   // COLOR_CAPTIONTEXT
    {10, 0xC0C0C0},  // COLOR_ACTIVEBORDER
    {11, 0xC0C0C0},  // COLOR_INACTIVEBORDER
    {12, 0x808080},  // COLOR_APPWORKSPACE
    {13, 0x800000},  // COLOR_HIGHLIGHT
    {14, 0xFFFFFF},  // COLOR_HIGHLIGHTTEXT
    {15, 0xC0C0C0},  // COLOR_BTNFACE
    {16, 0x808080},  // COLOR_BTNSHADOW
    {17, 0x808080},  // COLOR_GRAYTEXT
    {18, 0x000000},  // COLOR_BTNTEXT
    {19, 0xC0C0C0},  // COLOR_INACTIVECAPTIONTEXT
    {20, 0xFFFFFF},  // COLOR_BTNHIGHLIGHT
    {21, 0x000000},  // COLOR_3DDKSHADOW
    {22, 0xC0C0C0},  // COLOR_3DLIGHT
    {23, 0x000000},  // COLOR_INFOTEXT
    {24, 0xE1FFFF},  // COLOR_INFOBK
    {25, 0xB5B5B5},  // unnamed
    {26, 0x800000},  // COLOR_HOTLIGHT
    {27, 0xD08410},  // COLOR_GRADIENTACTIVECAPTION
    {28, 0xB5B5B5},  // COLOR_GRADIENTINACTIVECAPTION
    {29, 0x800000},  // COLOR_MENUHILIGHT
    {30, 0xC0C0C0},  // COLOR_MENUBAR
};

constexpr bool EveryIndexInItsPlace() {
  for (size_t i = 0; i < std::size(kSystemColours); ++i) {
    if (kSystemColours[i].index != static_cast<int>(i)) return false;
  }
  return true;
}
static_assert(EveryIndexInItsPlace(), "one entry per index, no gaps");

// Style values as CreatePen, CreateSolidBrush and LOGFONT take them.
constexpr uint32_t kPenSolid = 0;
constexpr uint32_t kPenNull = 5;
constexpr uint32_t kBrushSolid = 0;
constexpr uint32_t kBrushNull = 1;

struct StockEntry {
  int index;
  GdiKind kind;
  uint32_t colour;  // brushes and pens
  bool null;
  int32_t fontHeight;
  int32_t fontWeight;
  const char* face;
  uint8_t pitchAndFamily;
};

// GetStockObject's objects by index (DEFAULT_PALETTE, 15, is not kept; DC_BRUSH and DC_PEN are
// plain white and black here).
constexpr StockEntry kStock[] = {
    {0, GdiKind::Brush, 0xFFFFFF, false, 0, 0, nullptr, 0},            // WHITE_BRUSH
    {1, GdiKind::Brush, 0xC0C0C0, false, 0, 0, nullptr, 0},            // LTGRAY_BRUSH
    {2, GdiKind::Brush, 0x808080, false, 0, 0, nullptr, 0},            // GRAY_BRUSH
    {3, GdiKind::Brush, 0x404040, false, 0, 0, nullptr, 0},            // DKGRAY_BRUSH
    {4, GdiKind::Brush, 0x000000, false, 0, 0, nullptr, 0},            // BLACK_BRUSH
    {5, GdiKind::Brush, 0x000000, true, 0, 0, nullptr, 0},             // NULL_BRUSH
    {6, GdiKind::Pen, 0xFFFFFF, false, 0, 0, nullptr, 0},              // WHITE_PEN
    {7, GdiKind::Pen, 0x000000, false, 0, 0, nullptr, 0},              // BLACK_PEN
    {8, GdiKind::Pen, 0x000000, true, 0, 0, nullptr, 0},               // NULL_PEN
    {10, GdiKind::Font, 0, false, 12, 400, "Terminal", 0x31},          // OEM_FIXED_FONT
    {11, GdiKind::Font, 0, false, 12, 400, "Courier", 0x31},           // ANSI_FIXED_FONT
    {12, GdiKind::Font, 0, false, 12, 400, "MS Sans Serif", 0x22},     // ANSI_VAR_FONT
    {13, GdiKind::Font, 0, false, 16, 700, "System", 0x22},            // SYSTEM_FONT
    {14, GdiKind::Font, 0, false, 16, 700, "System", 0x22},            // DEVICE_DEFAULT_FONT
    {16, GdiKind::Font, 0, false, 16, 700, "Fixedsys", 0x31},          // SYSTEM_FIXED_FONT
    {17, GdiKind::Font, 0, false, -11, 400, "MS Shell Dlg", 0x22},     // DEFAULT_GUI_FONT
    {18, GdiKind::Brush, 0xFFFFFF, false, 0, 0, nullptr, 0},           // DC_BRUSH
    {19, GdiKind::Pen, 0x000000, false, 0, 0, nullptr, 0},             // DC_PEN
    {kStockBitmapIndex, GdiKind::Bitmap, 0, false, 0, 0, nullptr, 0},  // a memory DC's first bitmap
};

constexpr bool StockIndicesRise() {
  for (size_t i = 1; i < std::size(kStock); ++i) {
    if (kStock[i - 1].index >= kStock[i].index) return false;
  }
  return true;
}
static_assert(StockIndicesRise(), "one entry per index");

}  // namespace

bool SystemColour(int index, uint32_t* colour) {
  if (index < 0 || static_cast<size_t>(index) >= std::size(kSystemColours)) return false;
  *colour = kSystemColours[index].colour;
  return true;
}

GdiObjects& GdiObjects::Instance() { return MachineState::Of<GdiObjects>(); }

// DCs first: each lets go of the objects its states hold, which must still be there.
GdiObjects::~GdiObjects() {
  for (auto& [handle, object] : objects_) object->dc.reset();
}

GdiObject& GdiObjects::Add(std::unique_ptr<GdiObject> object) {
  object->handle = (nextSerial_++ << 8) | static_cast<uintptr_t>(object->kind);
  if (!object->stock) object->owner = CurrentProcessId();
  GdiObject& added = *object;
  objects_.emplace(added.handle, std::move(object));
  return added;
}

void GdiObjects::DropProcess(uint32_t processId) {
  for (auto& [handle, object] : objects_)
    if (object->owner == processId) object->dc.reset();
  std::erase_if(objects_, [processId](const auto& entry) {
    const GdiObject& object = *entry.second;
    return object.owner == processId && object.selections == 0 && object.selectedInto == nullptr;
  });
}

GdiObject* GdiObjects::Find(const void* handle) {
  auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
  return found != objects_.end() ? found->second.get() : nullptr;
}

GdiObject* GdiObjects::Find(const void* handle, GdiKind kind) {
  GdiObject* object = Find(handle);
  if (object == nullptr) return nullptr;
  if (object->kind == kind) return object;
  // One handle type names both kinds of each pair.
  if (kind == GdiKind::Pen && object->kind == GdiKind::ExtPen) return object;
  if (kind == GdiKind::Dc && object->kind == GdiKind::MemoryDc) return object;
  return nullptr;
}

bool GdiObjects::Remove(GdiObject& object) {
  if (object.selections != 0 || object.selectedInto != nullptr) return false;
  objects_.erase(object.handle);
  return true;
}

GdiObject* GdiObjects::Stock(int index) {
  auto made = stock_.find(index);
  if (made != stock_.end()) return made->second;
  for (const StockEntry& entry : kStock) {
    if (entry.index != index) continue;
    auto object = std::make_unique<GdiObject>();
    object->kind = entry.kind;
    object->stock = true;
    switch (entry.kind) {
      case GdiKind::Brush:
        object->brushStyle = entry.null ? kBrushNull : kBrushSolid;
        object->brush = {entry.null, entry.colour, -1, {}};
        break;
      case GdiKind::Pen:
        object->penStyle = entry.null ? kPenNull : kPenSolid;
        object->pen = {entry.null, false, 1, LineCap::Round, entry.colour};
        break;
      case GdiKind::Font:
        object->font.height = entry.fontHeight;
        object->font.weight = entry.fontWeight;
        object->font.pitchAndFamily = entry.pitchAndFamily;
        object->font.face = entry.face;
        object->scaled = std::make_unique<ScaledFont>(entry.fontHeight, entry.fontWeight, false);
        break;
      default:
        object->surface = std::make_shared<RasterSurface>(RasterSurface::Format::Mono, 1, 1);
        object->label = "stock bitmap";
        break;
    }
    GdiObject& added = Add(std::move(object));
    stock_.emplace(index, &added);
    return &added;
  }
  return nullptr;
}

GdiObject* GdiObjects::SystemColourBrush(int index) {
  auto made = systemBrushes_.find(index);
  if (made != systemBrushes_.end()) return made->second;
  uint32_t colour = 0;
  if (!SystemColour(index, &colour)) return nullptr;
  auto object = std::make_unique<GdiObject>();
  object->kind = GdiKind::Brush;
  object->stock = true;
  object->brushStyle = kBrushSolid;
  object->brush = {false, colour, -1, {}};
  GdiObject& added = Add(std::move(object));
  systemBrushes_.emplace(index, &added);
  return &added;
}

}  // namespace plat::win32
