#include "platform/win32/Desktop.h"

#include <algorithm>
#include <cctype>

#include "platform/win32/Controls.h"
#include "platform/win32/DeviceBroker.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"
#include "platform/win32/MessageQueue.h"
#include "platform/win32/WindowManager.h"
#include "platform/win32/WindowSurfaces.h"

namespace plat::win32 {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

// The system classes come with the desktop's first use, once its state is in place: their cursors
// are machine state of their own.
Desktop& Desktop::Get() {
  Desktop& desktop = MachineState::Of<Desktop>();
  if (!desktop.systemClasses_) {
    desktop.systemClasses_ = true;
    RegisterSystemClasses(desktop);
  }
  return desktop;
}

Desktop::Desktop() {
  OnUserEnd([](uint32_t processId, uint32_t threadId) { UserEnded(processId, threadId); });
  auto root = std::make_shared<Window>();
  root->handle = reinterpret_cast<HWND>(nextHandle_);
  nextHandle_ += 2;
  root->text = "";
  root->style = WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN;
  root->rect = root->client = RECT{0, 0, kWidth, kHeight};
  root_ = root->handle;
  windows_[root_] = std::move(root);
}

Desktop::~Desktop() = default;

DeviceBroker& Desktop::Broker() {
  if (!broker_) broker_ = std::make_unique<DeviceBroker>();
  return *broker_;
}

Window* Desktop::Find(HWND hwnd) {
  auto it = windows_.find(hwnd);
  return it == windows_.end() || it->second->dead ? nullptr : it->second.get();
}

Window* Desktop::Checked(HWND hwnd) {
  Window* w = hwnd == root_ ? nullptr : Find(hwnd);
  if (w == nullptr) SetError(ERROR_INVALID_WINDOW_HANDLE);
  return w;
}

std::shared_ptr<Window> Desktop::Hold(HWND hwnd) {
  auto it = windows_.find(hwnd);
  return it == windows_.end() ? nullptr : it->second;
}

Window* Desktop::Add(std::shared_ptr<Window> window) {
  window->handle = reinterpret_cast<HWND>(nextHandle_);
  nextHandle_ += 2;
  Window* w = window.get();
  windows_[w->handle] = std::move(window);
  return w;
}

void Desktop::Remove(HWND hwnd) {
  Window* w = Find(hwnd);
  if (w == nullptr) return;
  auto& siblings = SiblingsOf(*w);
  siblings.erase(std::remove(siblings.begin(), siblings.end(), hwnd), siblings.end());
  w->dead = true;
  windows_.erase(hwnd);
  WindowSurfaces::Get().Forget(hwnd);
}

std::vector<HWND>& Desktop::SiblingsOf(const Window& window) {
  if (window.parent == nullptr) return topLevel_;
  return Find(window.parent)->children;
}

std::vector<HWND> Desktop::All() const {
  std::vector<HWND> all;
  for (const auto& [hwnd, w] : windows_)
    if (hwnd != root_ && !w->dead) all.push_back(hwnd);
  return all;
}

std::shared_ptr<WindowClass> Desktop::FindClass(const std::string& name, uint32_t processId) const {
  std::string key = Lower(name);
  std::shared_ptr<WindowClass> system;
  for (const auto& cls : classes_) {
    if (Lower(cls->name) != key) continue;
    if (cls->processId == processId) return cls;
    if (cls->processId == 0) system = cls;
  }
  return system;
}

bool Desktop::AddClass(std::shared_ptr<WindowClass> cls) {
  for (const auto& c : classes_)
    if (c->processId == cls->processId && Lower(c->name) == Lower(cls->name)) return false;
  cls->atom = AddAtom(cls->name);
  classes_.push_back(std::move(cls));
  return true;
}

bool Desktop::RemoveClass(const std::string& name, uint32_t processId) {
  auto it = std::find_if(classes_.begin(), classes_.end(), [&](const auto& c) {
    return c->processId == processId && Lower(c->name) == Lower(name);
  });
  if (it == classes_.end()) return false;
  classes_.erase(it);
  return true;
}

void Desktop::DropClassesOf(uint32_t processId) {
  std::erase_if(classes_, [&](const auto& c) { return c->processId == processId; });
}

ATOM Desktop::AddAtom(const std::string& name) {
  auto [it, added] = atoms_.emplace(Lower(name), static_cast<ATOM>(0xC000 + atoms_.size()));
  return it->second;
}

MessageQueue& Desktop::QueueOf(uint32_t threadId, uint32_t processId) {
  auto& q = queues_[threadId];
  if (!q) q = std::make_unique<MessageQueue>(threadId, processId);
  return *q;
}

MessageQueue* Desktop::FindQueue(uint32_t threadId) {
  auto it = queues_.find(threadId);
  return it == queues_.end() ? nullptr : it->second.get();
}

MessageQueue& Desktop::CurrentQueue() { return QueueOf(CurrentThreadId(), CurrentProcessId()); }

// A dropped queue is kept until the machine goes: another thread may be in the middle of waking it.
void Desktop::DropQueue(uint32_t threadId) {
  auto it = queues_.find(threadId);
  if (it == queues_.end()) return;
  retired_.push_back(std::move(it->second));
  queues_.erase(it);
}

std::vector<uint32_t> Desktop::QueueThreads() const {
  std::vector<uint32_t> ids;
  for (const auto& [id, q] : queues_) ids.push_back(id);
  return ids;
}

void SetError(DWORD error) { ::SetLastError(error); }

POINT ToScreen(const Window& window, POINT client) {
  return POINT{client.x + window.client.left, client.y + window.client.top};
}

POINT ToClient(const Window& window, POINT screen) {
  return POINT{screen.x - window.client.left, screen.y - window.client.top};
}

}  // namespace plat::win32
