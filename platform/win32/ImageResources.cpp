#include "platform/win32/ImageResources.h"

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel/Verifier.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"
#include "platform/win32/Text.h"
#include "platform/win32/include/windows.h"
#include "platform/win32/include/winres.h"

namespace plat::win32 {
namespace {

constexpr uint32_t kIconDirSize = 6;
constexpr uint32_t kIconDirEntrySize = 16;   // in an .ico or .cur file
constexpr uint32_t kInfoHeaderSize = 40;     // BITMAPINFOHEADER
constexpr uint32_t kStringsPerTable = 16;

uint16_t Word(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint32_t Dword(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void PutWord(std::vector<uint8_t>& out, uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void PutDword(std::vector<uint8_t>& out, uint32_t v) {
  PutWord(out, static_cast<uint16_t>(v));
  PutWord(out, static_cast<uint16_t>(v >> 16));
}

// One load's resources, compiled.
struct Compiled {
  std::vector<CompiledResource> resources;
  std::deque<std::vector<uint8_t>> made;  // bytes the compiler made (string tables, groups, cursors)

  const std::vector<uint8_t>& Make(std::vector<uint8_t> bytes) { return made.emplace_back(std::move(bytes)); }
  void Add(uint16_t type, uint16_t id, const void* data, uint32_t size, const std::string& image) {
    for (const CompiledResource& r : resources)
      if (r.type == type && r.id == id)
        Violation("the resources of " + image + " hold resource " + std::to_string(id) + " of type " +
                  std::to_string(type) + " twice");
    resources.push_back({type, id, data, size});
  }
  void AddMade(uint16_t type, uint16_t id, std::vector<uint8_t> bytes, const std::string& image) {
    const std::vector<uint8_t>& kept = Make(std::move(bytes));
    Add(type, id, kept.data(), static_cast<uint32_t>(kept.size()), image);
  }
};

// An icon or cursor file (`cursor`) made into its group and one resource per image, numbered on
// from `next`.
void CompileGroup(Compiled& out, const RESOURCE_ENTRY& entry, bool cursor, uint16_t* next, const std::string& image) {
  auto* file = static_cast<const uint8_t*>(entry.bytes);
  uint32_t count = entry.size >= kIconDirSize ? Word(file + 4) : 0;
  if (count == 0 || kIconDirSize + count * kIconDirEntrySize > entry.size)
    Violation("resource " + std::to_string(entry.id) + " of " + image + " is no icon or cursor file");
  std::vector<uint8_t> group;
  PutWord(group, 0);
  PutWord(group, cursor ? 2 : 1);
  PutWord(group, static_cast<uint16_t>(count));
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = file + kIconDirSize + i * kIconDirEntrySize;
    uint32_t bytes = Dword(e + 8), offset = Dword(e + 12);
    if (offset > entry.size || bytes > entry.size - offset || bytes < kInfoHeaderSize)
      Violation("image " + std::to_string(i) + " of resource " + std::to_string(entry.id) + " of " + image +
                " lies outside its file");
    const uint8_t* dib = file + offset;
    uint16_t id = (*next)++;
    uint16_t planes = Word(dib + 12), bitCount = Word(dib + 14);
    if (cursor) {
      // A cursor resource is its hot spot, then the image; its group entry gives the image's size
      // in 16 bits each, the height twice the cursor's as in the image's header.
      std::vector<uint8_t> data;
      PutWord(data, Word(e + 4));
      PutWord(data, Word(e + 6));
      data.insert(data.end(), dib, dib + bytes);
      out.AddMade(RESOURCE_TYPE_CURSOR, id, std::move(data), image);
      PutWord(group, static_cast<uint16_t>(Dword(dib + 4)));
      PutWord(group, static_cast<uint16_t>(Dword(dib + 8)));
      PutWord(group, planes);
      PutWord(group, bitCount);
      PutDword(group, bytes + 4);
    } else {
      out.Add(RESOURCE_TYPE_ICON, id, dib, bytes, image);
      group.insert(group.end(), e, e + 4);  // width, height, colour count, reserved
      PutWord(group, Word(e + 4) != 0 ? Word(e + 4) : planes);
      PutWord(group, Word(e + 6) != 0 ? Word(e + 6) : bitCount);
      PutDword(group, bytes);
    }
    PutWord(group, id);
  }
  out.AddMade(cursor ? RESOURCE_TYPE_GROUP_CURSOR : RESOURCE_TYPE_GROUP_ICON, entry.id, std::move(group), image);
}

Compiled Compile(const RESOURCE_DIRECTORY& directory, const std::string& image) {
  Compiled out;
  std::map<uint16_t, std::vector<std::u16string>> tables;
  uint16_t nextIcon = 1, nextCursor = 1;
  for (DWORD i = 0; i < directory.count; ++i) {
    const RESOURCE_ENTRY& entry = directory.entries[i];
    switch (entry.type) {
      case RESOURCE_TYPE_STRING: {
        auto& table = tables[static_cast<uint16_t>(entry.id / kStringsPerTable + 1)];
        table.resize(kStringsPerTable);
        std::u16string& slot = table[entry.id % kStringsPerTable];
        if (!slot.empty())
          Violation("the resources of " + image + " hold string " + std::to_string(entry.id) + " twice");
        slot = Widen(std::string_view(static_cast<const char*>(entry.bytes), entry.size));
        break;
      }
      case RESOURCE_TYPE_GROUP_ICON:
        CompileGroup(out, entry, false, &nextIcon, image);
        break;
      case RESOURCE_TYPE_GROUP_CURSOR:
        CompileGroup(out, entry, true, &nextCursor, image);
        break;
      default:
        out.Add(entry.type, entry.id, entry.bytes, entry.size, image);
    }
  }
  for (const auto& [id, strings] : tables) {
    std::vector<uint8_t> bytes;
    for (const std::u16string& s : strings) {
      PutWord(bytes, static_cast<uint16_t>(s.size()));
      for (char16_t c : s) PutWord(bytes, c);
    }
    out.AddMade(RESOURCE_TYPE_STRING, id, std::move(bytes), image);
  }
  return out;
}

// Every load's compiled resources, by the load; a load that has ended keeps its entry until the
// machine goes, and no later load has its number.
struct Compilations {
  std::map<uint64_t, Compiled> byLoad;
};

const Compiled* CompiledOf(void* module, uint32_t* error) {
  uint64_t load = module != nullptr ? ImageLoadId(module) : 0;
  if (load == 0) {
    *error = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  auto& byLoad = MachineState::Of<Compilations>().byLoad;
  if (auto found = byLoad.find(load); found != byLoad.end()) return &found->second;
  uint32_t ignored = 0;
  auto* directory = static_cast<const RESOURCE_DIRECTORY*>(ImageExport(module, "ImageResources", &ignored));
  if (directory == nullptr) {
    *error = ERROR_RESOURCE_DATA_NOT_FOUND;
    return nullptr;
  }
  return &byLoad.emplace(load, Compile(*directory, Narrow(ImageFileName(module)))).first->second;
}

// An ordinal as FindResource takes one: MAKEINTRESOURCE(n) or "#n"; false for any other name.
bool Ordinal(const char* name, uint16_t* ordinal) {
  auto value = reinterpret_cast<uintptr_t>(name);
  if (value >> 16 == 0) {
    *ordinal = static_cast<uint16_t>(value);
    return true;
  }
  if (name[0] != '#' || name[1] == 0) return false;
  uint32_t n = 0;
  for (const char* p = name + 1; *p != 0; ++p) {
    if (*p < '0' || *p > '9' || (n = n * 10 + static_cast<uint32_t>(*p - '0')) > 0xFFFF) return false;
  }
  *ordinal = static_cast<uint16_t>(n);
  return true;
}

}  // namespace

void* ResolveModule(void* module) { return module != nullptr ? module : ProgramImage(); }

const CompiledResource* FindImageResource(void* module, const char* type, const char* name, uint32_t* error) {
  const Compiled* compiled = CompiledOf(ResolveModule(module), error);
  if (compiled == nullptr) return nullptr;
  uint16_t typeOrdinal = 0, nameOrdinal = 0;
  bool typeKnown = type != nullptr && Ordinal(type, &typeOrdinal);
  bool nameKnown = name != nullptr && Ordinal(name, &nameOrdinal);
  bool typeSeen = false;
  for (const CompiledResource& r : compiled->resources) {
    if (!typeKnown || r.type != typeOrdinal) continue;
    typeSeen = true;
    if (nameKnown && r.id == nameOrdinal) return &r;
  }
  *error = typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
  return nullptr;
}

void CheckResourceOf(void* module, const void* resource, const char* call) {
  uint32_t error = 0;
  const Compiled* compiled = CompiledOf(ResolveModule(module), &error);
  if (compiled != nullptr)
    for (const CompiledResource& r : compiled->resources)
      if (&r == resource) return;
  Violation(std::string(call) + " with a resource that is not one of the module's");
}

}  // namespace plat::win32
