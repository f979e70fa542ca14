// user32's loads of icons, cursors and bitmaps from the resources of the process's images, or of
// the system's own icons and cursors (a null instance). Bitmaps are gdi32's objects.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "platform/win32/GdiSeam.h"
#include "platform/win32/ImageObjects.h"
#include "platform/win32/ImageResources.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"
#include "platform/win32/include/windows.h"

namespace res = plat::win32;

namespace {

constexpr int kDefaultSize = 32;  // SM_CXICON, SM_CYICON, SM_CXCURSOR, SM_CYCURSOR
constexpr UINT kLoadsKnown = LR_DEFAULTCOLOR | LR_DEFAULTSIZE | LR_SHARED | LR_CREATEDIBSECTION;

// The system's icons (IDI_*) and cursors (IDC_*).
constexpr WORD kSystemIcons[] = {32512, 32513, 32514, 32515, 32516, 32517, 32518};
constexpr WORD kSystemCursors[] = {32512, 32513, 32514, 32515, 32516, 32640, 32642, 32643,
                                   32644, 32645, 32646, 32648, 32649, 32650, 32651};

// One shared object per resource of a load, or per system icon or cursor (load 0).
struct SharedImages {
  std::map<std::tuple<uint64_t, res::ImageKind, WORD>, void*> byResource;
};

int32_t Int32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

WORD Word(const uint8_t* p) {
  WORD v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <size_t N>
bool Listed(const WORD (&list)[N], WORD id) {
  for (WORD known : list)
    if (known == id) return true;
  return false;
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return nullptr;
}

HANDLE LoadSystemImage(LPCSTR name, res::ImageKind kind, int cx, int cy) {
  auto id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
  bool known = IS_INTRESOURCE(name) && (kind == res::ImageKind::Icon ? Listed(kSystemIcons, id)
                                        : kind == res::ImageKind::Cursor ? Listed(kSystemCursors, id)
                                                                          : false);
  if (!known) return Fail(ERROR_RESOURCE_NAME_NOT_FOUND);
  auto& shared = res::MachineState::Of<SharedImages>().byResource;
  void*& handle = shared[{0, kind, id}];
  if (handle == nullptr) {
    int w = cx != 0 ? cx : kDefaultSize, h = cy != 0 ? cy : kDefaultSize;
    handle = res::AddImageObject({kind, 0, true, true, w, h, kind == res::ImageKind::Icon ? w / 2 : 0,
                                  kind == res::ImageKind::Icon ? h / 2 : 0, {}, id});
  }
  return handle;
}

// The image of a group that best fits cx x cy (0 x 0: the group's first): the exact size with the
// most colours, or else the nearest size.
WORD ChooseFromGroup(const res::CompiledResource& group, bool cursor, int cx, int cy) {
  auto* p = static_cast<const uint8_t*>(group.data);
  WORD count = Word(p + 4);
  WORD best = 0;
  long bestDistance = -1;
  int bestBits = -1;
  for (WORD i = 0; i < count; ++i) {
    const uint8_t* e = p + 6 + i * 14;
    int w = cursor ? Word(e) : (e[0] != 0 ? e[0] : 256);
    int h = cursor ? Word(e + 2) / 2 : (e[1] != 0 ? e[1] : 256);
    int bits = Word(e + 6);
    WORD id = Word(e + 12);
    if (cx == 0 && cy == 0) return id;
    long distance = std::labs(w - cx) + std::labs(h - cy);
    if (bestDistance < 0 || distance < bestDistance || (distance == bestDistance && bits > bestBits)) {
      best = id;
      bestDistance = distance;
      bestBits = bits;
    }
  }
  return best;
}

HANDLE LoadFromImage(HINSTANCE instance, LPCSTR name, res::ImageKind kind, int cx, int cy, bool shared) {
  void* module = res::ResolveModule(instance);
  LPCSTR groupType = kind == res::ImageKind::Bitmap ? RT_BITMAP : kind == res::ImageKind::Icon ? RT_GROUP_ICON
                                                                                               : RT_GROUP_CURSOR;
  uint32_t error = 0;
  const res::CompiledResource* found = res::FindImageResource(module, groupType, name, &error);
  if (found == nullptr) return Fail(error);
  uint64_t load = res::ImageLoadId(module);
  auto& cache = res::MachineState::Of<SharedImages>().byResource;
  // A shared bitmap a program deleted anyway, or an image its process took with it, is loaded afresh.
  if (shared)
    if (auto it = cache.find({load, kind, found->id});
        it != cache.end() && (kind == res::ImageKind::Bitmap ? res::BitmapSurface(static_cast<HBITMAP>(it->second)) != nullptr
                                                             : res::ImageObjectOf(it->second) != nullptr))
      return it->second;

  if (kind == res::ImageKind::Bitmap) {
    // A bitmap is gdi32's: programs select it, blit it and delete it.
    HANDLE bitmap = res::BitmapFromDib(found->data, found->size, "bitmap " + std::to_string(found->id));
    if (bitmap == nullptr) return Fail(ERROR_RESOURCE_DATA_NOT_FOUND);
    if (shared) cache[{load, kind, found->id}] = bitmap;
    return bitmap;
  }
  res::ImageObject object{kind, res::CurrentProcessId(), shared, false, 0, 0, 0, 0, {}, 0};
  bool cursor = kind == res::ImageKind::Cursor;
  WORD id = ChooseFromGroup(*found, cursor, cx, cy);
  const res::CompiledResource* image =
      res::FindImageResource(module, cursor ? RT_CURSOR : RT_ICON, MAKEINTRESOURCEA(id), &error);
  if (image == nullptr) return Fail(error);
  auto* bytes = static_cast<const uint8_t*>(image->data);
  uint32_t size = image->size;
  if (kind == res::ImageKind::Cursor) {
    object.hotspotX = Word(bytes);
    object.hotspotY = Word(bytes + 2);
    bytes += 4;
    size -= 4;
  }
  int32_t width = Int32(bytes + 4), height = std::abs(Int32(bytes + 8)) / 2;
  object.width = cx != 0 ? cx : width;
  object.height = cy != 0 ? cy : height;
  if (kind == res::ImageKind::Icon) {
    object.hotspotX = object.width / 2;
    object.hotspotY = object.height / 2;
  }
  object.dib.assign(bytes, bytes + size);
  void* handle = res::AddImageObject(std::move(object));
  if (shared) cache[{load, kind, found->id}] = handle;
  return handle;
}

// Icons and cursors are one kind of object to user32: either call destroys either.
BOOL Destroy(HANDLE handle, DWORD error) {
  res::ImageObject* object = res::ImageObjectOf(handle);
  if (object == nullptr || object->kind == res::ImageKind::Bitmap) {
    SetLastError(error);
    return FALSE;
  }
  // A shared one stays for every other load of it.
  if (!object->shared) res::RemoveImageObject(handle);
  return TRUE;
}

}  // namespace

HANDLE LoadImageA(HINSTANCE hInst, LPCSTR name, UINT type, int cx, int cy, UINT fuLoad) {
  if (type > IMAGE_CURSOR || name == nullptr || cx < 0 || cy < 0) return Fail(ERROR_INVALID_PARAMETER);
  // Files, and colours changed on load, are not kept here.
  if (fuLoad & ~kLoadsKnown) return Fail(ERROR_NOT_SUPPORTED);
  auto kind = type == IMAGE_BITMAP ? res::ImageKind::Bitmap : type == IMAGE_ICON ? res::ImageKind::Icon
                                                                                 : res::ImageKind::Cursor;
  if (kind != res::ImageKind::Bitmap && (fuLoad & LR_DEFAULTSIZE)) {
    if (cx == 0) cx = kDefaultSize;
    if (cy == 0) cy = kDefaultSize;
  }
  if (hInst == nullptr) return LoadSystemImage(name, kind, cx, cy);
  return LoadFromImage(hInst, name, kind, cx, cy, (fuLoad & LR_SHARED) != 0);
}

HICON LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
  return static_cast<HICON>(LoadImageA(hInstance, lpIconName, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

HCURSOR LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName) {
  return static_cast<HCURSOR>(LoadImageA(hInstance, lpCursorName, IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

HBITMAP LoadBitmapA(HINSTANCE hInstance, LPCSTR lpBitmapName) {
  return static_cast<HBITMAP>(LoadImageA(hInstance, lpBitmapName, IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
}

BOOL DestroyIcon(HICON hIcon) { return Destroy(hIcon, ERROR_INVALID_ICON_HANDLE); }

BOOL DestroyCursor(HCURSOR hCursor) { return Destroy(hCursor, ERROR_INVALID_CURSOR_HANDLE); }
