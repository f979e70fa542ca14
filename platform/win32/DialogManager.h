// What the dialog manager gives the property sheet: pages made as child dialogs from their
// templates, and a template's size and caption.
#pragma once

#include <string>

#include "platform/win32/include/windows.h"

namespace plat::win32 {

// A template of an image's resources (`name`) or one in memory (`indirect`).
struct TemplateRef {
  HINSTANCE instance;
  LPCSTR name;
  const DLGTEMPLATE* indirect;
};

// A dialog nested in `parent` (WS_CHILD, DS_CONTROL), hidden, whatever its template's own style.
HWND CreateChildDialog(const TemplateRef& ref, HWND parent, DLGPROC proc, LPARAM param);
// The template's size in pixels of the dialog base units, and its caption; false when not found.
bool TemplateInfo(const TemplateRef& ref, SIZE* pixels, std::string* caption);

}  // namespace plat::win32
