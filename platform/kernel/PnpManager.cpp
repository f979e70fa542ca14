#include "platform/kernel/PnpManager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>

#include "platform/kernel/IoInternal.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Loader.h"
#include "platform/kernel/PowerManager.h"
#include "platform/kernel/Registry.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/WideText.h"

namespace plat {
namespace {

constexpr ULONG kPnpTag = plat::PoolTag("Pnp ");

struct Devnode {
  PDEVICE_OBJECT pdo = nullptr;
  Devnode* parent = nullptr;
  std::vector<Devnode*> children;
  std::u16string deviceId, instanceId, instancePath;
  std::vector<std::u16string> hardwareIds;
  DevnodeState state = DevnodeState::Enumerated;
  std::u16string service;  // the function driver's, when one was loaded
  int openFiles = 0;
  bool missing = false;    // no longer reported by its bus
  bool hasStack = false;   // AddDevice succeeded
  bool removing = false;   // inside RemoveNode: a child that goes meanwhile leaves the rest to it
  // A device reported again while its previous node (same instance path) still waits for its
  // last handle: it is started once that node's removal has completed.
  Devnode* heldFor = nullptr;
  NTSTATUS problem = STATUS_SUCCESS;  // what the last failed start returned
};

struct InterfaceEntry {
  GUID guid;
  std::u16string link;
  std::u16string instancePath;
  PDEVICE_OBJECT pdo;
  bool enabled;
};

struct Watcher {
  uint64_t id;
  GUID guid;
  PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
  PVOID context;
};

// What a service is loaded from: its driver image, or an entry routine linked into the caller.
struct Service {
  PDRIVER_INITIALIZE entry = nullptr;
  std::u16string image;
};

struct LoadedDriver {
  PDRIVER_OBJECT driver;
  int nodes;
  bool unloadWaits;  // no node uses it, but a device object of it is left: it goes with the last one
};

struct PnpState {
  uint64_t scheduler = 0;
  std::map<std::u16string, Service> services;
  std::map<std::u16string, std::u16string> hardwareIds;  // upper-cased id -> service
  std::map<std::u16string, LoadedDriver> loaded;
  std::vector<std::unique_ptr<Devnode>> nodes;
  std::vector<Devnode*> roots;
  std::vector<InterfaceEntry> interfaces;
  std::deque<std::function<void()>> work;
  uint32_t thread = 0;
  bool threadLive = false;
  PDRIVER_OBJECT rootDriver = nullptr;
  ULONG rootInstances = 0;
  std::vector<std::string> log;
  SYSTEM_POWER_STATE systemState = PowerSystemWorking;
  std::vector<Watcher> watchers;
  uint64_t nextWatcher = 1;
  std::function<void(const GUID&, const std::u16string&, bool)> userTap;
  // A fatal fault found on the PnP thread, reported on the host when it next waits for PnP work.
  std::string fatal;
};

PnpState& P() {
  static PnpState p;
  auto* s = Scheduler::TryCurrent();
  uint64_t serial = s != nullptr ? s->Serial() : 0;
  if (p.scheduler != serial) {
    p = PnpState{};
    p.scheduler = serial;
  }
  return p;
}

std::u16string Upper(std::u16string s) {
  for (auto& c : s)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return s;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

Devnode* NodeOf(PDEVICE_OBJECT device) {
  if (device == nullptr) return nullptr;
  return static_cast<Devnode*>(IoStackBottom(device)->DeviceObjectExtension->DeviceNode);
}

void Queue(std::function<void()> fn) {
  auto& p = P();
  p.work.push_back(std::move(fn));
  if (p.threadLive && !Scheduler::Current().ThreadDone(p.thread)) return;
  p.threadLive = true;
  p.thread = Scheduler::Current().Spawn("PnP", [] {
    auto& q = P();
    while (!q.work.empty()) {
      auto fn = std::move(q.work.front());
      q.work.pop_front();
      fn();
    }
    q.threadLive = false;
  });
}

// Synchronous IRPs to the top of a node's stack

const char* MinorName(UCHAR major, UCHAR minor) {
  static const char* pnp[] = {"START", "QUERY_REMOVE", "REMOVE", "CANCEL_REMOVE", "STOP", "QUERY_STOP",
                              "CANCEL_STOP", "QUERY_RELATIONS", "QUERY_INTERFACE", "QUERY_CAPABILITIES",
                              "QUERY_RESOURCES", "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT",
                              "FILTER_RESOURCE_REQUIREMENTS", "0x0E", "READ_CONFIG", "WRITE_CONFIG", "EJECT",
                              "SET_LOCK", "QUERY_ID", "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION",
                              "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL"};
  static const char* power[] = {"WAIT_WAKE", "POWER_SEQUENCE", "SET_POWER", "QUERY_POWER"};
  if (major == IRP_MJ_PNP && minor < 0x18) return pnp[minor];
  if (major == IRP_MJ_POWER && minor < 4) return power[minor];
  return "?";
}

NTSTATUS Send(Devnode* node, UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
              ULONG_PTR* information) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
  PIRP irp = IoAllocateOwnedIrp(top->StackSize, {});
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->MinorFunction = minor;
  if (setup) setup(sp);
  P().log.push_back(std::string(MinorName(major, minor)) + "@" + Narrow(node->instancePath.empty() ? u"?" : node->instancePath));
  NTSTATUS status = IoCallAndWait(top, irp, information);
  ObDereferenceObject(top);
  return status;
}

NTSTATUS SendPnp(Devnode* node, UCHAR minor, ULONG_PTR* information = nullptr,
                 const std::function<void(PIO_STACK_LOCATION)>& setup = {}) {
  return Send(node, IRP_MJ_PNP, minor, setup, information);
}

std::vector<std::u16string> QueryIds(Devnode* node, BUS_QUERY_ID_TYPE type) {
  ULONG_PTR info = 0;
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_ID, &info, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; });
  std::vector<std::u16string> ids;
  if (!NT_SUCCESS(status) || info == 0) return ids;
  auto* p = reinterpret_cast<PWCHAR>(info);
  for (PWCHAR at = p; *at != 0;) {
    std::u16string id = plat::U16(at);
    at += id.size() + 1;
    ids.push_back(id);
    if (type == BusQueryDeviceID || type == BusQueryInstanceID) break;
  }
  ExFreePool(p);
  return ids;
}

void SetInterfacesOf(Devnode* node, bool enable);
void LoadAndStart(Devnode* node);
void RemoveNode(Devnode* node, bool surpriseDone);
void EnumerateChildren(Devnode* node);

// A driver no node uses any more is unloaded once its last device object is deleted, which a driver
// may do after its REMOVE has returned.
void UnloadIfUnused(std::map<std::u16string, LoadedDriver>::iterator it) {
  auto& p = P();
  if (it->second.nodes > 0) return;
  PDRIVER_OBJECT driver = it->second.driver;
  if (driver->DeviceObject != nullptr) {
    it->second.unloadWaits = true;
    return;
  }
  p.loaded.erase(it);
  LdrUnloadDriver(driver);
}

void Unuse(Devnode* node) {
  if (node->service.empty()) return;
  auto& p = P();
  auto it = p.loaded.find(node->service);
  node->service.clear();
  if (it == p.loaded.end()) return;
  it->second.nodes -= 1;
  UnloadIfUnused(it);
}

// The prefix Windows puts before a non-unique instance id: the parent's depth in the tree and a
// hash of its instance path.
std::u16string ParentPrefix(const Devnode* parent) {
  uint32_t depth = 1;
  for (const Devnode* n = parent; n->parent != nullptr; n = n->parent) ++depth;
  uint32_t hash = 2166136261u;
  for (char16_t c : Upper(parent->instancePath)) hash = (hash ^ static_cast<uint32_t>(c)) * 16777619u;
  char text[32];
  std::snprintf(text, sizeof text, "%u&%08x&0", depth, hash);
  return std::u16string(text, text + std::strlen(text));
}

void StartNode(Devnode* node) {
  auto& p = P();
  std::vector<std::u16string> ids = QueryIds(node, BusQueryDeviceID);
  std::vector<std::u16string> instance = QueryIds(node, BusQueryInstanceID);
  node->deviceId = ids.empty() ? std::u16string() : ids[0];
  node->instanceId = instance.empty() ? std::u16string() : instance[0];
  node->instancePath = node->deviceId + u"\\" + node->instanceId;
  node->hardwareIds = QueryIds(node, BusQueryHardwareIDs);
  for (auto& id : QueryIds(node, BusQueryCompatibleIDs)) node->hardwareIds.push_back(id);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = ~0u;
  SendPnp(node, IRP_MN_QUERY_CAPABILITIES, nullptr, [&caps](PIO_STACK_LOCATION sp) {
    sp->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  // An instance id the bus does not vouch for as unique is made unique by its parent, so two
  // parents' children of one id get paths (and interface links) of their own.
  if (!caps.UniqueID && node->parent != nullptr) {
    node->instanceId = ParentPrefix(node->parent) + u"&" + node->instanceId;
    node->instancePath = node->deviceId + u"\\" + node->instanceId;
  }
  if (node->parent != nullptr) {
    for (Devnode* sibling : node->parent->children)
      if (sibling != node && sibling->state != DevnodeState::Removed && Upper(sibling->instancePath) == Upper(node->instancePath)) {
        if (sibling->missing && sibling->state == DevnodeState::SurpriseRemoved) {
          node->heldFor = sibling;
          return;
        }
        if (p.fatal.empty()) p.fatal = "two children of one bus report the instance path " + Narrow(node->instancePath);
        node->state = DevnodeState::Failed;
        return;
      }
  }
  LoadAndStart(node);
}

// The rest of a start, once the node's instance path is its own.
void LoadAndStart(Devnode* node) {
  auto& p = P();
  // What the bus tells about the device before any driver of it is loaded; the answers are the
  // caller's to free.
  auto queryAndFree = [node](UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup) {
    ULONG_PTR info = 0;
    if (NT_SUCCESS(SendPnp(node, minor, &info, setup)) && info != 0) ExFreePool(reinterpret_cast<PVOID>(info));
  };
  for (DEVICE_TEXT_TYPE text : {DeviceTextDescription, DeviceTextLocationInformation})
    queryAndFree(IRP_MN_QUERY_DEVICE_TEXT, [text](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceText.DeviceTextType = text; });
  queryAndFree(IRP_MN_QUERY_BUS_INFORMATION, {});
  queryAndFree(IRP_MN_QUERY_RESOURCES, {});
  queryAndFree(IRP_MN_QUERY_RESOURCE_REQUIREMENTS, {});
  std::u16string service;
  for (auto& id : node->hardwareIds) {
    auto it = p.hardwareIds.find(Upper(id));
    if (it != p.hardwareIds.end()) {
      service = it->second;
      break;
    }
  }
  if (service.empty()) return;  // no driver for it: it stays enumerated
  auto loaded = p.loaded.find(service);
  if (loaded == p.loaded.end()) {
    auto registered = p.services.find(service);
    if (registered == p.services.end()) Violation("no image or entry point registered for service " + Narrow(service));
    NTSTATUS status;
    PDRIVER_OBJECT driver = registered->second.entry != nullptr
                                ? IoLoadDriver(service, registered->second.entry, &status)
                                : LdrLoadDriver(service, registered->second.image, &status);
    if (driver == nullptr) {
      node->state = DevnodeState::Failed;
      return;
    }
    loaded = p.loaded.emplace(service, LoadedDriver{driver, 0, false}).first;
  }
  // A driver still waiting for its last device object to go serves the new device instead.
  loaded->second.unloadWaits = false;
  loaded->second.nodes += 1;
  node->service = service;
  PDRIVER_OBJECT driver = loaded->second.driver;
  NTSTATUS status = driver->DriverExtension->AddDevice != nullptr
                        ? driver->DriverExtension->AddDevice(driver, node->pdo)
                        : STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) {
    node->state = DevnodeState::Failed;
    Unuse(node);
    return;
  }
  node->hasStack = true;
  SendPnp(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
  status = SendPnp(node, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    node->problem = status;
    RemoveNode(node, false);
    node->state = DevnodeState::Failed;
    return;
  }
  node->state = DevnodeState::Started;
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = ~0u;
  SendPnp(node, IRP_MN_QUERY_CAPABILITIES, nullptr, [&caps](PIO_STACK_LOCATION sp) {
    sp->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
  EnumerateChildren(node);
}

Devnode* NewNode(PDEVICE_OBJECT pdo, Devnode* parent) {
  auto& p = P();
  p.nodes.push_back(std::make_unique<Devnode>());
  Devnode* node = p.nodes.back().get();
  node->pdo = pdo;
  node->parent = parent;
  ObReferenceObject(pdo);
  pdo->DeviceObjectExtension->DeviceNode = node;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
  if (parent != nullptr) parent->children.push_back(node);
  else p.roots.push_back(node);
  return node;
}

void DropNode(Devnode* node) {
  auto& p = P();
  auto& siblings = node->parent != nullptr ? node->parent->children : p.roots;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
  node->pdo->DeviceObjectExtension->DeviceNode = nullptr;
  PDEVICE_OBJECT pdo = node->pdo;
  p.nodes.erase(std::find_if(p.nodes.begin(), p.nodes.end(), [node](auto& n) { return n.get() == node; }));
  ObDereferenceObject(pdo);
}

void EnumerateChildren(Devnode* node) {
  ULONG_PTR info = 0;
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, &info,
                            [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; });
  if (!NT_SUCCESS(status)) return;
  std::vector<PDEVICE_OBJECT> reported;
  if (info != 0) {
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
    for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
    ExFreePool(relations);
  }
  std::vector<Devnode*> gone;
  for (Devnode* child : node->children)
    if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end()) gone.push_back(child);
  for (Devnode* child : gone) {
    child->missing = true;
    if (child->state == DevnodeState::Started || child->state == DevnodeState::StopPending ||
        child->state == DevnodeState::RemovePending) {
      RemoveNode(child, false);
    } else if (child->state != DevnodeState::SurpriseRemoved) {
      RemoveNode(child, true);
    }
  }
  std::vector<Devnode*> fresh;
  for (PDEVICE_OBJECT pdo : reported) {
    bool known = std::any_of(node->children.begin(), node->children.end(), [pdo](Devnode* c) { return c->pdo == pdo; });
    if (!known) fresh.push_back(NewNode(pdo, node));
    ObDereferenceObject(pdo);
  }
  for (Devnode* child : fresh) StartNode(child);
}

// Surprise removal first when the device is gone while started; REMOVE once no file is open on it
// and its children have had theirs, so a parent outlives what its children still call into.
void RemoveNode(Devnode* node, bool surpriseDone) {
  node->removing = true;
  std::vector<Devnode*> children = node->children;
  for (Devnode* child : children) {
    child->missing = true;
    RemoveNode(child, child->state == DevnodeState::SurpriseRemoved);
  }
  if (!surpriseDone && node->missing && node->state == DevnodeState::Started) {
    SetInterfacesOf(node, false);
    SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    node->state = DevnodeState::SurpriseRemoved;
  }
  if (node->state == DevnodeState::SurpriseRemoved && (node->openFiles > 0 || !node->children.empty())) {
    node->removing = false;
    return;
  }
  Devnode* parent = node->parent;
  SetInterfacesOf(node, false);
  if (node->hasStack || node->pdo->AttachedDevice == nullptr) SendPnp(node, IRP_MN_REMOVE_DEVICE);
  node->hasStack = false;
  node->state = DevnodeState::Removed;
  Unuse(node);
  for (auto& entry : P().interfaces)
    if (entry.pdo == node->pdo) entry.pdo = nullptr;
  node->removing = false;
  if (!node->missing) return;
  std::vector<Devnode*> held;
  if (parent != nullptr)
    for (Devnode* sibling : parent->children)
      if (sibling->heldFor == node) held.push_back(sibling);
  DropNode(node);
  // Its successors come up now, later on this thread, if their device is still there.
  for (Devnode* successor : held) {
    successor->heldFor = nullptr;
    Queue([successor] {
      auto& nodes = P().nodes;
      bool alive = std::any_of(nodes.begin(), nodes.end(), [successor](auto& n) { return n.get() == successor; });
      if (alive && !successor->missing && successor->state == DevnodeState::Enumerated) LoadAndStart(successor);
    });
  }
  // The last child of a parent that is waiting for its removal has gone.
  if (parent != nullptr && !parent->removing && parent->state == DevnodeState::SurpriseRemoved &&
      parent->children.empty() && parent->openFiles == 0)
    RemoveNode(parent, true);
}

void SetInterfacesOf(Devnode* node, bool enable) {
  for (auto& entry : P().interfaces) {
    if (entry.pdo != node->pdo || entry.enabled == enable) continue;
    plat::WideString link(entry.link);
    UNICODE_STRING name{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
    IoSetDeviceInterfaceState(&name, enable ? TRUE : FALSE);
  }
}

// The PnP manager's own root bus: PDOs that answer their ids and complete the rest.

struct RootPdo {
  WCHAR hardwareId[64];
  WCHAR instanceId[16];
  bool missing;
};

PWCHAR PoolIds(const std::u16string& id, bool multi) {
  size_t chars = id.size() + (multi ? 2 : 1);
  auto* p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPnpTag));
  if (p == nullptr) return nullptr;
  std::memcpy(p, id.data(), id.size() * sizeof(WCHAR));
  p[id.size()] = 0;
  if (multi) p[id.size() + 1] = 0;
  return p;
}

NTSTATUS RootDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<RootPdo*>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (sp->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState)
      PoSetPowerState(device, DevicePowerState, sp->Parameters.Power.State);
    status = sp->MinorFunction == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  } else if (sp->MajorFunction == IRP_MJ_PNP) {
    switch (sp->MinorFunction) {
      case IRP_MN_QUERY_ID: {
        std::u16string hw = plat::U16(ext->hardwareId);
        PWCHAR ids = nullptr;
        switch (sp->Parameters.QueryId.IdType) {
          case BusQueryDeviceID: ids = PoolIds(u"ROOT\\" + hw, false); break;
          case BusQueryHardwareIDs: ids = PoolIds(hw, true); break;
          case BusQueryInstanceID: ids = PoolIds(plat::U16(ext->instanceId), false); break;
          default: break;
        }
        if (ids != nullptr) {
          irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(ids);
          status = STATUS_SUCCESS;
        }
        break;
      }
      case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
        caps->SurpriseRemovalOK = 1;
        status = STATUS_SUCCESS;
        break;
      }
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        if (ext->missing) {
          irp->IoStatus.Status = status;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          IoDeleteDevice(device);
          return status;
        }
        break;
      default:
        break;
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = RootDispatch;
  driver->MajorFunction[IRP_MJ_POWER] = RootDispatch;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

std::u16string GuidText(const GUID& g) {
  static const char16_t digits[] = u"0123456789abcdef";
  auto hex = [&](uint64_t v, int n) {
    std::u16string s(static_cast<size_t>(n), u'0');
    for (int i = n - 1; i >= 0; --i, v >>= 4) s[static_cast<size_t>(i)] = digits[v & 0xF];
    return s;
  };
  std::u16string s = u"{" + hex(g.Data1, 8) + u"-" + hex(g.Data2, 4) + u"-" + hex(g.Data3, 4) + u"-";
  s += hex(g.Data4[0], 2) + hex(g.Data4[1], 2) + u"-";
  for (int i = 2; i < 8; ++i) s += hex(g.Data4[i], 2);
  return s + u"}";
}

// Tells a watcher of the class about an interface, later on the PnP thread, if it still watches.
void Notify(uint64_t watcher, const GUID& guid, const std::u16string& link, bool arrived) {
  Queue([watcher, guid, link, arrived] {
    auto& p = P();
    auto w = std::find_if(p.watchers.begin(), p.watchers.end(), [&](const Watcher& x) { return x.id == watcher; });
    if (w == p.watchers.end()) return;
    plat::WideString name(link);
    UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    DEVICE_INTERFACE_CHANGE_NOTIFICATION n{1, sizeof n, arrived ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL,
                                           guid, &us};
    w->callback(&n, w->context);
  });
}

void NotifyAll(const GUID& guid, const std::u16string& link, bool arrived) {
  for (auto& w : P().watchers)
    if (w.guid == guid) Notify(w.id, guid, link, arrived);
  if (P().userTap) P().userTap(guid, link, arrived);
}

void ReportFatal() {
  std::string fatal = std::move(P().fatal);
  P().fatal.clear();
  if (!fatal.empty()) Violation(fatal);
}

// Children are asked before their parent; a refusal cancels the query of every device asked.
bool QueryRemoveTree(Devnode* node) {
  std::vector<Devnode*> order;
  std::function<void(Devnode*)> collect = [&](Devnode* n) {
    for (Devnode* c : n->children) collect(c);
    if (n->state == DevnodeState::Started) order.push_back(n);
  };
  collect(node);
  std::vector<Devnode*> asked;
  for (Devnode* n : order) {
    NTSTATUS status = SendPnp(n, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
      SendPnp(n, IRP_MN_CANCEL_REMOVE_DEVICE);
      for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
        SendPnp(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
        (*it)->state = DevnodeState::Started;
      }
      return false;
    }
    n->state = DevnodeState::RemovePending;
    asked.push_back(n);
  }
  return true;
}

// Runs fn on the PnP thread and waits there for it from the host.
template <class T>
T OnPnpThread(std::function<T()> fn) {
  auto result = std::make_shared<T>();
  auto done = std::make_shared<bool>(false);
  Queue([fn, result, done] {
    *result = fn();
    *done = true;
  });
  Scheduler::Current().RunUntil([done] { return *done; }, Scheduler::Current().Now() + 3600 * kNsPerSecond);
  if (!*done) Violation("the PnP manager did not finish its work");
  ReportFatal();
  return *result;
}

}  // namespace

// Files

void PnpFileOpened(PDEVICE_OBJECT bottom) {
  if (auto* node = static_cast<Devnode*>(bottom->DeviceObjectExtension->DeviceNode)) node->openFiles += 1;
}

void PnpFileClosed(PDEVICE_OBJECT bottom) {
  auto* node = static_cast<Devnode*>(bottom->DeviceObjectExtension->DeviceNode);
  if (node == nullptr) return;
  node->openFiles -= 1;
  if (node->openFiles == 0 && node->state == DevnodeState::SurpriseRemoved)
    Queue([node] { RemoveNode(node, true); });
}

void PnpLastDeviceDeleted(PDRIVER_OBJECT driver) {
  for (auto& [service, loaded] : P().loaded) {
    if (loaded.driver != driver || !loaded.unloadWaits) continue;
    std::u16string name = service;
    Queue([name] {
      auto it = P().loaded.find(name);
      if (it != P().loaded.end() && it->second.unloadWaits) UnloadIfUnused(it);
    });
    return;
  }
}

// Host side

void PnpRegisterService(const std::u16string& service, PDRIVER_INITIALIZE entry) { P().services[service] = Service{entry, {}}; }
void PnpRegisterService(const std::u16string& service, const std::u16string& imageName) {
  P().services[service] = Service{nullptr, imageName};
}
void PnpBindHardwareId(const std::u16string& hardwareId, const std::u16string& service) {
  P().hardwareIds[Upper(hardwareId)] = service;
}

PDEVICE_OBJECT PnpAddRootDevice(const std::u16string& hardwareId, const std::u16string& instanceId) {
  auto& p = P();
  if (p.rootDriver == nullptr) {
    NTSTATUS status;
    p.rootDriver = IoLoadDriver(u"PnpManager", RootEntry, &status);
  }
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(p.rootDriver, sizeof(RootPdo), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
    return nullptr;
  auto* ext = new (pdo->DeviceExtension) RootPdo{};
  std::memcpy(ext->hardwareId, hardwareId.data(), std::min<size_t>(hardwareId.size(), 63) * sizeof(WCHAR));
  std::memcpy(ext->instanceId, instanceId.data(), std::min<size_t>(instanceId.size(), 15) * sizeof(WCHAR));
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  Devnode* node = NewNode(pdo, nullptr);
  OnPnpThread<bool>([node] {
    StartNode(node);
    return true;
  });
  return pdo;
}

void PnpRemoveRootDevice(PDEVICE_OBJECT pdo) {
  Devnode* node = NodeOf(pdo);
  if (node == nullptr) return;
  static_cast<RootPdo*>(pdo->DeviceExtension)->missing = true;
  node->missing = true;
  OnPnpThread<bool>([node] {
    RemoveNode(node, false);
    return true;
  });
}

bool PnpQueryRemoveAndRemove(PDEVICE_OBJECT pdo) {
  Devnode* node = NodeOf(pdo);
  return OnPnpThread<bool>([node] {
    if (!QueryRemoveTree(node)) return false;
    RemoveNode(node, true);
    return true;
  });
}

bool PnpStopAndRestart(PDEVICE_OBJECT pdo) {
  Devnode* node = NodeOf(pdo);
  return OnPnpThread<bool>([node] {
    if (!NT_SUCCESS(SendPnp(node, IRP_MN_QUERY_STOP_DEVICE))) {
      SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
      return false;
    }
    node->state = DevnodeState::StopPending;
    SendPnp(node, IRP_MN_STOP_DEVICE);
    node->state = DevnodeState::Stopped;
    NTSTATUS status = SendPnp(node, IRP_MN_START_DEVICE);
    node->state = NT_SUCCESS(status) ? DevnodeState::Started : DevnodeState::Failed;
    if (!NT_SUCCESS(status)) node->problem = status;
    return NT_SUCCESS(status);
  });
}

void PnpSettle() {
  auto& s = Scheduler::Current();
  s.RunUntil([] { return P().work.empty() && !P().threadLive; }, s.Now() + 3600 * kNsPerSecond);
  ReportFatal();
}

DevnodeState PnpState(PDEVICE_OBJECT pdo) {
  Devnode* node = NodeOf(pdo);
  return node != nullptr ? node->state : DevnodeState::Removed;
}

NTSTATUS PnpProblemStatus(PDEVICE_OBJECT pdo) {
  Devnode* node = NodeOf(pdo);
  return node != nullptr ? node->problem : STATUS_SUCCESS;
}

std::u16string PnpInstancePath(PDEVICE_OBJECT pdo) {
  Devnode* node = NodeOf(pdo);
  return node != nullptr ? node->instancePath : std::u16string();
}

std::vector<PDEVICE_OBJECT> PnpChildren(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> out;
  if (Devnode* node = NodeOf(pdo))
    for (Devnode* c : node->children) out.push_back(c->pdo);
  return out;
}

std::vector<std::string>& PnpLog() { return P().log; }

void PnpSetUserInterfaceTap(std::function<void(const GUID&, const std::u16string&, bool)> tap) {
  P().userTap = std::move(tap);
}

bool PnpShutdown() {
  auto& p = P();
  std::vector<Devnode*> roots = p.roots;
  for (Devnode* root : roots) PnpRemoveRootDevice(root->pdo);
  PnpSettle();
  bool clean = p.nodes.empty();
  if (p.rootDriver != nullptr && p.rootDriver->DeviceObject == nullptr) {
    IoUnloadDriver(p.rootDriver);
    p.rootDriver = nullptr;
  }
  // Every node is gone, so a device object still here is one its driver never deleted, and the
  // driver could never be unloaded.
  std::string left = IoDeviceObjectsLeft();
  if (!left.empty()) Violation("device objects left at machine shutdown:\n" + left);
  return clean && p.loaded.empty();
}

SYSTEM_POWER_STATE PoSystemState() { return P().systemState; }

bool PoSetSystemState(SYSTEM_POWER_STATE state) {
  return OnPnpThread<bool>([state] {
    auto& p = P();
    std::vector<Devnode*> parentsFirst;
    std::function<void(Devnode*)> collect = [&](Devnode* n) {
      if (n->state == DevnodeState::Started) parentsFirst.push_back(n);
      for (Devnode* c : n->children) collect(c);
    };
    for (Devnode* r : p.roots) collect(r);
    std::vector<Devnode*> leavesFirst(parentsFirst.rbegin(), parentsFirst.rend());
    auto send = [](Devnode* n, UCHAR minor, SYSTEM_POWER_STATE s) {
      return Send(n, IRP_MJ_POWER, minor, [s](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = SystemPowerState;
        sp->Parameters.Power.State.SystemState = s;
      }, nullptr);
    };
    SYSTEM_POWER_STATE from = p.systemState;
    bool down = state > from;
    if (down) {
      std::vector<Devnode*> asked;
      for (Devnode* n : leavesFirst) {
        if (!NT_SUCCESS(send(n, IRP_MN_QUERY_POWER, state))) {
          // Those that agreed are told the machine stays where it was.
          for (Devnode* a : asked) send(a, IRP_MN_SET_POWER, from);
          return false;
        }
        asked.push_back(n);
      }
    }
    for (Devnode* n : down ? leavesFirst : parentsFirst) send(n, IRP_MN_SET_POWER, state);
    p.systemState = state;
    return true;
  });
}

}  // namespace plat

// Routines drivers call

void IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
  if (Type != BusRelations) return;
  PDEVICE_OBJECT pdo = plat::IoStackBottom(DeviceObject);
  plat::Queue([pdo] {
    if (plat::Devnode* node = plat::NodeOf(pdo))
      if (node->state == plat::DevnodeState::Started) plat::EnumerateChildren(node);
  });
}

void IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "IoRequestDeviceEject");
  PDEVICE_OBJECT pdo = PhysicalDeviceObject;
  plat::Queue([pdo] {
    plat::Devnode* node = plat::NodeOf(pdo);
    if (node == nullptr || node->state != plat::DevnodeState::Started || !plat::QueryRemoveTree(node)) return;
    plat::RemoveNode(node, true);
    // Only the bus driver is left to take the device out.
    plat::SendPnp(node, IRP_MN_EJECT);
  });
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  PAGED_CODE();
  plat::Devnode* node = static_cast<plat::Devnode*>(PhysicalDeviceObject->DeviceObjectExtension->DeviceNode);
  if (node == nullptr || PhysicalDeviceObject->DeviceObjectExtension->AttachedTo != nullptr)
    return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string path = node->instancePath;
  std::replace(path.begin(), path.end(), u'\\', u'#');
  std::u16string link = u"\\??\\" + path + u"#" + plat::GuidText(*InterfaceClassGuid);
  if (ReferenceString != nullptr && ReferenceString->Length != 0) {
    link += u'\\';
    link += plat::ToU16(*ReferenceString);
  }
  auto& p = plat::P();
  auto it = std::find_if(p.interfaces.begin(), p.interfaces.end(),
                         [&](const plat::InterfaceEntry& e) { return plat::Upper(e.link) == plat::Upper(link); });
  if (it == p.interfaces.end())
    p.interfaces.push_back(plat::InterfaceEntry{*InterfaceClassGuid, link, node->instancePath, PhysicalDeviceObject, false});
  else
    it->pdo = PhysicalDeviceObject;
  size_t bytes = link.size() * sizeof(WCHAR);
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), plat::kPnpTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.data(), bytes);
  buffer[link.size()] = 0;
  *SymbolicLinkName = UNICODE_STRING{static_cast<USHORT>(bytes), static_cast<USHORT>(bytes + sizeof(WCHAR)), buffer};
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  PAGED_CODE();
  std::u16string link = plat::Upper(plat::ToU16(*SymbolicLinkName));
  auto& p = plat::P();
  auto it = std::find_if(p.interfaces.begin(), p.interfaces.end(),
                         [&](const plat::InterfaceEntry& e) { return plat::Upper(e.link) == link; });
  if (it == p.interfaces.end() || it->pdo == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (it->enabled == (Enable != FALSE)) return STATUS_SUCCESS;
  // The namespace link names the interface without its reference string, which an open passes
  // on to the device as the file name; interfaces that differ only in it share the link.
  std::u16string base = it->link.substr(0, it->link.find(u'\\', 4));
  bool shared = std::any_of(p.interfaces.begin(), p.interfaces.end(), [&](const plat::InterfaceEntry& e) {
    return &e != &*it && e.enabled && plat::Upper(e.link.substr(0, e.link.find(u'\\', 4))) == plat::Upper(base);
  });
  if (Enable) {
    if (!shared) {
      NTSTATUS status = plat::ObCreateSymbolicLink(base, plat::ObFullName(it->pdo));
      if (!NT_SUCCESS(status)) return status;
    }
    it->enabled = true;
    plat::NotifyAll(it->guid, it->link, true);
    return STATUS_SUCCESS;
  }
  if (!shared) plat::ObDeleteSymbolicLink(base);
  it->enabled = false;
  plat::NotifyAll(it->guid, it->link, false);
  return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                               PWSTR* SymbolicLinkList) {
  PAGED_CODE();
  std::u16string list;
  for (auto& e : plat::P().interfaces) {
    if (!(e.guid == *InterfaceClassGuid)) continue;
    if (PhysicalDeviceObject != nullptr && e.pdo != PhysicalDeviceObject) continue;
    if (!e.enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE)) continue;
    list += e.link;
    list += u'\0';
  }
  list += u'\0';
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, list.size() * sizeof(WCHAR), plat::kPnpTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, list.data(), list.size() * sizeof(WCHAR));
  *SymbolicLinkList = buffer;
  return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                          PHANDLE DeviceInterfaceKey) {
  PAGED_CODE();
  std::u16string link = plat::ToU16(*SymbolicLinkName);
  auto& p = plat::P();
  auto it = std::find_if(p.interfaces.begin(), p.interfaces.end(),
                         [&](const plat::InterfaceEntry& e) { return plat::Upper(e.link) == plat::Upper(link); });
  if (it == p.interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  // "\??\ROOT#X#0#{guid}\ref" is kept as "##?#ROOT#X#0#{guid}\#ref".
  std::u16string stored = it->link;
  size_t refAt = stored.find(u'\\', 4);
  std::u16string ref = refAt == std::u16string::npos ? std::u16string() : stored.substr(refAt + 1);
  std::u16string base = stored.substr(4, refAt == std::u16string::npos ? std::u16string::npos : refAt - 4);
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\" +
                        plat::GuidText(it->guid) + u"\\##?#" + base + u"\\#" + ref + u"\\Device Parameters";
  NTSTATUS status = plat::RegistryHive::CreateKey(path);
  if (!NT_SUCCESS(status)) return status;
  plat::WideString wide(path);
  UNICODE_STRING name{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2), wide.data()};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return ZwOpenKey(DeviceInterfaceKey, DesiredAccess, &oa);
}

NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory, ULONG EventCategoryFlags,
                                        PVOID EventCategoryData, PDRIVER_OBJECT,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine, PVOID Context,
                                        PVOID* NotificationEntry) {
  PAGED_CODE();
  if (EventCategory != EventCategoryDeviceInterfaceChange || EventCategoryData == nullptr) return STATUS_NOT_SUPPORTED;
  auto& p = plat::P();
  plat::Watcher w{p.nextWatcher++, *static_cast<const GUID*>(EventCategoryData), CallbackRoutine, Context};
  p.watchers.push_back(w);
  if (EventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) {
    for (auto& e : p.interfaces)
      if (e.enabled && e.guid == w.guid) plat::Notify(w.id, e.guid, e.link, true);
  }
  *NotificationEntry = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(w.id));
  return STATUS_SUCCESS;
}

NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry) {
  PAGED_CODE();
  auto& p = plat::P();
  auto id = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(NotificationEntry));
  auto it = std::find_if(p.watchers.begin(), p.watchers.end(), [id](const plat::Watcher& w) { return w.id == id; });
  if (it == p.watchers.end()) return STATUS_INVALID_PARAMETER;
  p.watchers.erase(it);
  return STATUS_SUCCESS;
}
