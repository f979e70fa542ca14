#include "platform/kernel/Loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/Irql.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace plat {
namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

using DllEntry = LONG (*)(void* instance, ULONG reason, void* reserved);

std::u16string Upper(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

std::u16string Widen(std::string_view s) { return std::u16string(s.begin(), s.end()); }

std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// The file of the image `name` beside the running program, matched as Windows matches names;
// empty when there is none.
std::filesystem::path FindImageFile(std::u16string_view name) {
  if (name.empty() || name.find_first_of(u"\\/:") != std::u16string_view::npos) return {};
  std::error_code ec;
  std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  std::u16string wanted = Upper(name);
  for (const auto& entry : std::filesystem::directory_iterator(program.parent_path(), ec))
    if (entry.is_regular_file(ec) && Upper(Widen(entry.path().filename().string())) == wanted) return entry.path();
  return {};
}

// The machine an image carries in its ".qx_machine" section, where a Windows image has it in its
// header; 0 for a file that is no image.
uint16_t ImageMachine(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  Elf64_Ehdr header{};
  if (!in.read(reinterpret_cast<char*>(&header), sizeof header)) return 0;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum)
    return 0;
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  in.seekg(static_cast<std::streamoff>(header.e_shoff));
  if (!in.read(reinterpret_cast<char*>(sections.data()), static_cast<std::streamsize>(sections.size() * sizeof(Elf64_Shdr))))
    return 0;
  const Elf64_Shdr& names = sections[header.e_shstrndx];
  std::string table(names.sh_size, '\0');
  in.seekg(static_cast<std::streamoff>(names.sh_offset));
  if (!in.read(table.data(), static_cast<std::streamsize>(table.size()))) return 0;
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_name >= table.size() || std::strcmp(table.c_str() + section.sh_name, ".qx_machine") != 0 ||
        section.sh_size != sizeof(uint16_t))
      continue;
    uint16_t machine = 0;
    in.seekg(static_cast<std::streamoff>(section.sh_offset));
    if (!in.read(reinterpret_cast<char*>(&machine), sizeof machine)) return 0;
    return machine;
  }
  return 0;
}

// The private copies of the process's loads: the dynamic linker maps one file once however often
// it is opened, so a load with globals of its own needs a file of its own.
class Copies {
 public:
  ~Copies() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string Make(const std::filesystem::path& file) {
    if (dir_.empty()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "qx-images-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) Violation("no directory for the copies of loaded images");
      dir_ = pattern;
    }
    std::filesystem::path copy = dir_ / (std::to_string(++made_) + "." + file.filename().string());
    std::error_code ec;
    if (!std::filesystem::copy_file(file, copy, ec)) Violation("the image " + file.string() + " cannot be copied");
    return copy.string();
  }

 private:
  std::filesystem::path dir_;
  uint64_t made_ = 0;
};

Copies& TheCopies() {
  static Copies copies;
  return copies;
}

// One mapped copy of an image.
struct Mapping {
  std::u16string name;  // the file's own name
  std::string copy;
  void* handle = nullptr;
  void* base = nullptr;
  uint64_t loadId = 0;
};

uint64_t NextLoadId();

enum class MapResult { Mapped, Missing, OtherMachine };

MapResult Map(std::u16string_view name, uint16_t machine, Mapping* out) {
  std::filesystem::path file = FindImageFile(name);
  if (file.empty()) return MapResult::Missing;
  if (ImageMachine(file) != machine) return MapResult::OtherMachine;
  std::string copy = TheCopies().Make(file);
  void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) Violation("the image " + file.string() + " cannot be mapped: " + dlerror());
  link_map* map = nullptr;
  dlinfo(handle, RTLD_DI_LINKMAP, &map);
  *out = Mapping{Widen(file.filename().string()), copy, handle, reinterpret_cast<void*>(map->l_addr), NextLoadId()};
  return MapResult::Mapped;
}

// An export of the image itself: a lookup by handle also finds what the image imports.
void* Export(const Mapping& image, const char* name) {
  void* address = dlsym(image.handle, name);
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr || image.copy != info.dli_fname)
    return nullptr;
  return address;
}

void Unmap(const Mapping& image) {
  dlclose(image.handle);
  // Still mapped, the image would keep its globals for the next load.
  if (void* still = dlopen(image.copy.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
    dlclose(still);
    Violation("the image " + Narrow(image.name) + " stayed mapped after its unload");
  }
  std::error_code ec;
  std::filesystem::remove(image.copy, ec);
}

struct LoadedDriver {
  PDRIVER_OBJECT driver;
  Mapping image;
};

struct UserImage {
  Mapping image;
  ULONG references;
  bool program = false;  // the process's program: never freed before the process ends
};

// The machine's loads; a new machine starts with none.
struct LoaderState {
  uint64_t scheduler = 0;
  uint64_t loads = 0;
  std::vector<LoadedDriver> drivers;
  std::map<uint64_t, std::vector<UserImage>> processes;
};

LoaderState& L() {
  static LoaderState state;
  auto* s = Scheduler::TryCurrent();
  uint64_t serial = s != nullptr ? s->Serial() : 0;
  if (state.scheduler != serial) {
    state = LoaderState{};
    state.scheduler = serial;
  }
  return state;
}

uint64_t NextLoadId() { return ++L().loads; }

std::vector<UserImage>& ImagesOf(const ProcessKey& process) {
  if (process.bits != 32 && process.bits != 64) Violation("a process of " + std::to_string(process.bits) + " bits");
  return L().processes[process.id];
}

std::vector<UserImage>::iterator FindByBase(std::vector<UserImage>& images, void* module) {
  return std::find_if(images.begin(), images.end(), [module](const UserImage& i) { return i.image.base == module; });
}

std::u16string DllName(std::u16string_view name) {
  std::u16string file(name);
  if (file.find(u'.') == std::u16string::npos) file += u".dll";
  return file;
}

}  // namespace

PDRIVER_OBJECT LdrLoadDriver(std::u16string_view serviceName, std::u16string_view imageName, NTSTATUS* status) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "loading a driver image");
  for (const LoadedDriver& loaded : L().drivers)
    if (Upper(loaded.image.name) == Upper(imageName)) {
      *status = STATUS_IMAGE_ALREADY_LOADED;
      return nullptr;
    }
  Mapping image;
  MapResult mapped = Map(imageName, kMachineAmd64, &image);
  if (mapped != MapResult::Mapped) {
    *status = mapped == MapResult::Missing ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_INVALID_IMAGE_FORMAT;
    return nullptr;
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(Export(image, "DriverEntry"));
  if (entry == nullptr) {
    Unmap(image);
    *status = STATUS_INVALID_IMAGE_FORMAT;
    return nullptr;
  }
  PDRIVER_OBJECT driver = IoLoadDriver(serviceName, entry, status);
  if (driver == nullptr) {
    Unmap(image);
    return nullptr;
  }
  L().drivers.push_back(LoadedDriver{driver, std::move(image)});
  return driver;
}

bool LdrUnloadDriver(PDRIVER_OBJECT driver) {
  if (!IoUnloadDriver(driver)) return false;
  auto& drivers = L().drivers;
  auto it = std::find_if(drivers.begin(), drivers.end(), [driver](const LoadedDriver& d) { return d.driver == driver; });
  if (it != drivers.end()) {
    Mapping image = std::move(it->image);
    drivers.erase(it);
    Unmap(image);
  }
  return true;
}

std::vector<std::u16string> LdrLoadedDrivers() {
  std::vector<std::u16string> names;
  for (const LoadedDriver& loaded : L().drivers) names.push_back(loaded.image.name);
  return names;
}

std::u16string LdrDriverImage(PDRIVER_OBJECT driver) {
  for (const LoadedDriver& loaded : L().drivers)
    if (loaded.driver == driver) return loaded.image.name;
  return {};
}

std::string LdrFileBesideImages(std::u16string_view name) { return FindImageFile(name).string(); }

void* LdrLoadImage(const ProcessKey& process, std::u16string_view name, ULONG* error) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "LoadLibrary");
  std::u16string file = DllName(name);
  auto& images = ImagesOf(process);
  for (UserImage& loaded : images)
    if (Upper(loaded.image.name) == Upper(file)) {
      loaded.references += 1;
      return loaded.image.base;
    }
  Mapping image;
  MapResult mapped = Map(file, process.bits == 32 ? kMachineI386 : kMachineAmd64, &image);
  if (mapped != MapResult::Mapped) {
    *error = mapped == MapResult::Missing ? kLdrErrorModNotFound : kLdrErrorBadExeFormat;
    return nullptr;
  }
  void* base = image.base;
  auto entry = reinterpret_cast<DllEntry>(Export(image, "DllMain"));
  // Known before its entry runs, so the image can find itself.
  images.push_back(UserImage{std::move(image), 1});
  if (entry == nullptr || entry(base, kDllProcessAttach, nullptr) != 0) return base;
  entry(base, kDllProcessDetach, nullptr);
  auto& now = ImagesOf(process);
  auto it = FindByBase(now, base);
  Mapping failed = std::move(it->image);
  now.erase(it);
  Unmap(failed);
  *error = kLdrErrorDllInitFailed;
  return nullptr;
}

bool LdrFreeImage(const ProcessKey& process, void* module, ULONG* error) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "FreeLibrary");
  auto& images = ImagesOf(process);
  auto it = FindByBase(images, module);
  if (module == nullptr || it == images.end()) {
    *error = kLdrErrorInvalidHandle;
    return false;
  }
  if (it->program || --it->references > 0) return true;
  if (auto entry = reinterpret_cast<DllEntry>(Export(it->image, "DllMain"))) entry(module, kDllProcessDetach, nullptr);
  auto& now = ImagesOf(process);
  it = FindByBase(now, module);
  Mapping image = std::move(it->image);
  now.erase(it);
  Unmap(image);
  return true;
}

void* LdrGetProcAddress(const ProcessKey& process, void* module, const char* name, ULONG* error) {
  auto& images = ImagesOf(process);
  auto it = FindByBase(images, module);
  if (module == nullptr || it == images.end()) {
    *error = kLdrErrorInvalidHandle;
    return nullptr;
  }
  void* address = Export(it->image, name);
  if (address == nullptr) *error = kLdrErrorProcNotFound;
  return address;
}

void* LdrFindImage(const ProcessKey& process, std::u16string_view name) {
  std::u16string file = Upper(DllName(name));
  for (const UserImage& loaded : ImagesOf(process))
    if (Upper(loaded.image.name) == file) return loaded.image.base;
  return nullptr;
}

std::vector<std::u16string> LdrLoadedImages(const ProcessKey& process) {
  std::vector<std::u16string> names;
  for (const UserImage& loaded : ImagesOf(process)) names.push_back(loaded.image.name);
  return names;
}

ULONG LdrCheckProgram(std::u16string_view name, ULONG bits) {
  std::filesystem::path file = FindImageFile(name);
  if (file.empty()) return kLdrErrorFileNotFound;
  return ImageMachine(file) == (bits == 32 ? kMachineI386 : kMachineAmd64) ? 0 : kLdrErrorBadExeFormat;
}

void* LdrLoadProgram(const ProcessKey& process, std::u16string_view name, ULONG* error) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "starting a program");
  if (!ImagesOf(process).empty()) Violation("a process maps its program before any other image");
  Mapping image;
  MapResult mapped = Map(name, process.bits == 32 ? kMachineI386 : kMachineAmd64, &image);
  if (mapped != MapResult::Mapped) {
    *error = mapped == MapResult::Missing ? kLdrErrorFileNotFound : kLdrErrorBadExeFormat;
    return nullptr;
  }
  void* start = Export(image, kProgramEntry);
  if (start == nullptr) {
    Unmap(image);
    *error = kLdrErrorBadExeFormat;
    return nullptr;
  }
  ImagesOf(process).push_back(UserImage{std::move(image), 1, true});
  return start;
}

void* LdrProgramImage(const ProcessKey& process) {
  const auto& images = ImagesOf(process);
  return !images.empty() && images.front().program ? images.front().image.base : nullptr;
}

std::u16string LdrImageName(const ProcessKey& process, void* module) {
  auto& images = ImagesOf(process);
  auto it = FindByBase(images, module);
  return module != nullptr && it != images.end() ? it->image.name : std::u16string();
}

uint64_t LdrImageLoadId(const ProcessKey& process, void* module) {
  auto& images = ImagesOf(process);
  auto it = FindByBase(images, module);
  return module != nullptr && it != images.end() ? it->image.loadId : 0;
}

void LdrEndProcess(const ProcessKey& process, ProcessEnd how) {
  ImagesOf(process);
  auto& processes = L().processes;
  static char terminating;
  for (auto found = processes.find(process.id); found != processes.end() && !found->second.empty();
       found = processes.find(process.id)) {
    const Mapping& last = found->second.back().image;
    void* base = last.base;
    if (how == ProcessEnd::Exit)
      if (auto entry = reinterpret_cast<DllEntry>(Export(last, "DllMain"))) entry(base, kDllProcessDetach, &terminating);
    auto& images = L().processes[process.id];
    auto it = FindByBase(images, base);
    Mapping image = std::move(it->image);
    images.erase(it);
    Unmap(image);
  }
  processes.erase(process.id);
}

}  // namespace plat
