#include "platform/win32/ImageObjects.h"

#include <map>
#include <memory>
#include <utility>

#include "platform/win32/MachineState.h"

namespace plat::win32 {
namespace {

struct ImageTable {
  std::map<const void*, std::unique_ptr<ImageObject>> objects;  // by handle
};

ImageTable& Table() { return MachineState::Of<ImageTable>(); }

}  // namespace

void* AddImageObject(ImageObject object) {
  auto made = std::make_unique<ImageObject>(std::move(object));
  void* handle = made.get();
  Table().objects.emplace(handle, std::move(made));
  return handle;
}

ImageObject* ImageObjectOf(const void* handle) {
  auto& objects = Table().objects;
  auto found = objects.find(handle);
  return found != objects.end() ? found->second.get() : nullptr;
}

bool RemoveImageObject(const void* handle) { return Table().objects.erase(handle) != 0; }

void DropImageObjectsOf(uint32_t processId) {
  std::erase_if(Table().objects, [processId](const auto& entry) { return entry.second->owner == processId; });
}

}  // namespace plat::win32
