// The icons and cursors programs load (LoadIcon, LoadCursor, LoadImage), as their handles refer to
// them, for the calls that use them (drawing, DestroyIcon); bitmaps are gdi32's objects. An
// object belongs to the process that loaded it and lives until it is destroyed or that process ends.
#pragma once

#include <cstdint>
#include <vector>

namespace plat::win32 {

enum class ImageKind : uint8_t { Bitmap, Icon, Cursor };

struct ImageObject {
  ImageKind kind;
  uint32_t owner;     // the process that loaded it; 0 for the system's icons and cursors
  bool shared;        // one object for every load of its resource (LoadIcon, LoadCursor, LR_SHARED)
  bool system;        // one of the system's icons or cursors, which has no bits here
  int32_t width;      // pixels
  int32_t height;     // pixels; an icon's or cursor's own height, half its image's
  int32_t hotspotX;   // a cursor's hot spot; an icon's centre
  int32_t hotspotY;
  // The DIB as the resource holds it: BITMAPINFOHEADER, colour table, bits. An icon's or cursor's
  // has its 1-bit AND mask after the colour bits, its header giving twice the height.
  std::vector<uint8_t> dib;
  uint16_t systemId;  // a system icon's or cursor's number (IDI_, IDC_); 0 for one from a resource
};

// A new object; its handle.
void* AddImageObject(ImageObject object);
// The object a handle refers to; null for a handle of none (or one destroyed).
ImageObject* ImageObjectOf(const void* handle);
// Destroys an object, and forgets it; false for a handle of none.
bool RemoveImageObject(const void* handle);
// The end of a process: the objects it loaded go.
void DropImageObjectsOf(uint32_t processId);

}  // namespace plat::win32
