// What an image's resources are written with. The resource script is a C++ source given to
// qx_user_image(... RESOURCES <script> <art>...): it defines the image's resource directory,
// ImageResources, from entries made by the functions below. Each art file reaches the script as
// "<file>.h", the whole file as a byte array, which the functions take as the resource compiler
// takes a file. When the image is first asked for a resource, the directory is compiled as the
// resource compiler would: strings into tables of 16, each icon and cursor file into its group and
// one entry per image of the file (numbered from 1 in the image, in script order).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "../../kernel/ImageExport.h"
#include "windows.h"

// Resource types by ordinal, the values RT_* stand for.
enum : WORD {
  RESOURCE_TYPE_CURSOR = 1,
  RESOURCE_TYPE_BITMAP = 2,
  RESOURCE_TYPE_ICON = 3,
  RESOURCE_TYPE_DIALOG = 5,
  RESOURCE_TYPE_STRING = 6,
  RESOURCE_TYPE_RCDATA = 10,
  RESOURCE_TYPE_GROUP_CURSOR = 12,
  RESOURCE_TYPE_GROUP_ICON = 14,
};

// One resource as the script gives it: a string's characters; a dialog's DIALOG_RESOURCE; a
// bitmap's DIB (header, palette, bits); the whole .ico or .cur file of an icon or cursor group;
// raw data.
struct RESOURCE_ENTRY {
  WORD type;
  WORD id;
  const void* bytes;
  DWORD size;
};

struct RESOURCE_DIRECTORY {
  const RESOURCE_ENTRY* entries;
  DWORD count;
};
static_assert(sizeof(RESOURCE_ENTRY) == (sizeof(void*) == 8 ? 24 : 16) && offsetof(RESOURCE_ENTRY, id) == 2 &&
              offsetof(RESOURCE_ENTRY, bytes) == (sizeof(void*) == 8 ? 8 : 4) &&
              offsetof(RESOURCE_ENTRY, size) == (sizeof(void*) == 8 ? 16 : 8));
static_assert(sizeof(RESOURCE_DIRECTORY) == 2 * sizeof(void*) && offsetof(RESOURCE_DIRECTORY, count) == sizeof(void*));

// The image's resources; the resource script defines it.
extern "C" QX_IMAGE_EXPORT const RESOURCE_DIRECTORY ImageResources;

// A dialog item's text, or the id of the icon or bitmap a picture static shows.
struct DIALOG_ITEM_TEXT {
  constexpr DIALOG_ITEM_TEXT(LPCSTR value) : text(value), resource(0) {}
  constexpr DIALOG_ITEM_TEXT(WORD id) : text(nullptr), resource(id) {}
  LPCSTR text;
  WORD resource;
};

// A control of a dialog template, in dialog units. The class is one of the predefined ones
// ("BUTTON", "EDIT", "STATIC", "LISTBOX", "SCROLLBAR", "COMBOBOX") or a registered class's name.
struct DIALOG_ITEM_RESOURCE {
  LPCSTR className;
  WORD id;
  DIALOG_ITEM_TEXT text;
  DWORD style;
  short x, y, cx, cy;
  DWORD exStyle = 0;
};

// The strings a combo box of the template is given, in order, when the dialog is initialised.
struct DIALOG_COMBO_LIST {
  WORD id;
  std::initializer_list<LPCSTR> strings;
};

// A dialog template, in dialog units; the font is used with DS_SETFONT.
struct DIALOG_RESOURCE {
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
  LPCSTR caption;
  WORD pointSize;
  LPCSTR typeface;
  std::initializer_list<DIALOG_ITEM_RESOURCE> items;
  std::initializer_list<DIALOG_COMBO_LIST> combos;
};

constexpr RESOURCE_ENTRY StringResource(WORD id, LPCSTR text) {
  return {RESOURCE_TYPE_STRING, id, text, static_cast<DWORD>(std::string_view(text).size())};
}

constexpr RESOURCE_ENTRY DialogResource(WORD id, const DIALOG_RESOURCE& dialog) {
  return {RESOURCE_TYPE_DIALOG, id, &dialog, sizeof dialog};
}

// A .bmp file: the resource is the DIB after the file's 14-byte header.
template <size_t N>
constexpr RESOURCE_ENTRY BitmapResource(WORD id, const unsigned char (&file)[N]) {
  if (N <= 14 + 40 || file[0] != 'B' || file[1] != 'M') throw "not a .bmp file";
  return {RESOURCE_TYPE_BITMAP, id, file + 14, static_cast<DWORD>(N - 14)};
}

// An .ico file, whose images become the group's icons.
template <size_t N>
constexpr RESOURCE_ENTRY IconResource(WORD id, const unsigned char (&file)[N]) {
  if (N <= 6 + 16 || file[0] != 0 || file[1] != 0 || file[2] != 1 || file[3] != 0) throw "not an .ico file";
  return {RESOURCE_TYPE_GROUP_ICON, id, file, static_cast<DWORD>(N)};
}

// A .cur file, whose images become the group's cursors.
template <size_t N>
constexpr RESOURCE_ENTRY CursorResource(WORD id, const unsigned char (&file)[N]) {
  if (N <= 6 + 16 || file[0] != 0 || file[1] != 0 || file[2] != 2 || file[3] != 0) throw "not a .cur file";
  return {RESOURCE_TYPE_GROUP_CURSOR, id, file, static_cast<DWORD>(N)};
}

template <size_t N>
constexpr RESOURCE_DIRECTORY ResourceDirectory(const RESOURCE_ENTRY (&entries)[N]) {
  return {entries, static_cast<DWORD>(N)};
}
