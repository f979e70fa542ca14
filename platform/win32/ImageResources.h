// The resources of the images of a process, as FindResource and the loads of user32 find them. An
// image's directory, ImageResources, as its resource script wrote it (<winres.h>), is compiled once
// per load of the image, as the resource compiler would have compiled it: strings into tables of
// 16 (table n + 1 holds strings 16n to 16n + 15, each a 16-bit length and its UTF-16 characters),
// each icon or cursor file into its group and one resource per image of the file. What an HRSRC
// refers to is one compiled resource.
#pragma once

#include <cstdint>

namespace plat::win32 {

struct CompiledResource {
  uint16_t type;
  uint16_t id;
  const void* data;
  uint32_t size;
};

// A resource of `module` (null: the program's image), its type and name given as FindResource
// takes them: an ordinal made with MAKEINTRESOURCE, or a string "#<decimal>". Null, with the Win32
// error, when the module is no image of the process (ERROR_MOD_NOT_FOUND), has no resources
// (ERROR_RESOURCE_DATA_NOT_FOUND), none of the type (ERROR_RESOURCE_TYPE_NOT_FOUND) or none of the
// name (ERROR_RESOURCE_NAME_NOT_FOUND).
const CompiledResource* FindImageResource(void* module, const char* type, const char* name, uint32_t* error);

// The module a null handle means, resolved; null when the process has no program image.
void* ResolveModule(void* module);

// Whether `resource` is one of the compiled resources of `module`; a handle given with the wrong
// module is a violation, as Windows would read the wrong image.
void CheckResourceOf(void* module, const void* resource, const char* call);

}  // namespace plat::win32
