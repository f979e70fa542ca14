#include "platform/kernel/Registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/kernel/Irql.h"
#include "platform/kernel/KernelHandles.h"
#include "platform/kernel/KernelInternal.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Rtl.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/WideText.h"

namespace plat {
namespace {

// The hive

struct Node {
  std::u16string name;  // as created
  Node* parent = nullptr;  // valid while !deleted
  std::map<std::u16string, std::shared_ptr<Node>> subkeys;  // by upper-case name
  std::vector<RegistryValue> values;                          // in the order first set
  bool deleted = false;
  bool permanent = false;
  bool isVolatile = false;      // not saved
  bool volatileHive = false;    // every key below is volatile (HARDWARE)
  LONGLONG lastWrite = 0;
};
using NodePtr = std::shared_ptr<Node>;

constexpr const char16_t* kRoots[] = {
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP",
    u"\\Registry\\User",
};
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueData = 0x7FFF0000;

std::mutex& HiveLock() {
  static auto* m = new std::mutex;
  return *m;
}
NodePtr& Top() {  // the namespace root "\", whose one key is "Registry"
  static auto* top = new NodePtr;
  return *top;
}

std::u16string Upper(std::u16string_view s) {
  std::u16string u(s);
  for (auto& c : u) c = RtlUpcaseUnicodeChar(c);
  return u;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  return true;
}

LONGLONG Now() {
  auto* s = Scheduler::TryCurrent();
  return kBootSystemTime + (s != nullptr ? ToKernelUnits(s->Now()) : 0);
}

void MarkDeleted(Node* n) {
  n->deleted = true;
  n->parent = nullptr;
  for (auto& [k, child] : n->subkeys) MarkDeleted(child.get());
  n->subkeys.clear();
}

NodePtr Child(const Node* n, std::u16string_view name) {
  auto it = n->subkeys.find(Upper(name));
  return it == n->subkeys.end() ? nullptr : it->second;
}

NTSTATUS AddChild(Node* parent, std::u16string_view name, bool wantVolatile, NodePtr* out) {
  if (parent->isVolatile && !parent->volatileHive && !wantVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
  auto n = std::make_shared<Node>();
  n->name = std::u16string(name);
  n->parent = parent;
  n->isVolatile = wantVolatile || parent->volatileHive;
  n->volatileHive = parent->volatileHive;
  n->lastWrite = Now();
  parent->subkeys.emplace(Upper(name), n);
  parent->lastWrite = n->lastWrite;
  *out = n;
  return STATUS_SUCCESS;
}

// Splits a path at its separators, skipping empty components.
NTSTATUS Split(std::u16string_view path, std::vector<std::u16string_view>* parts) {
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] == u'\\') {
      ++i;
      continue;
    }
    size_t end = path.find(u'\\', i);
    if (end == std::u16string_view::npos) end = path.size();
    if (end - i > kMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
    parts->push_back(path.substr(i, end - i));
    i = end;
  }
  return STATUS_SUCCESS;
}

// An absolute path names a key only inside "\Registry"; elsewhere the object manager finds nothing.
NTSTATUS CheckAbsolute(const std::vector<std::u16string_view>& parts) {
  if (parts.empty()) return STATUS_OBJECT_TYPE_MISMATCH;  // "\" is no key
  if (!SameName(parts[0], u"Registry"))
    return parts.size() == 1 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_SUCCESS;
}

NodePtr MakeTree() {
  auto top = std::make_shared<Node>();
  top->permanent = true;
  for (const char16_t* root : kRoots) {
    std::vector<std::u16string_view> parts;
    Split(root, &parts);
    Node* at = top.get();
    for (auto part : parts) {
      NodePtr next = Child(at, part);
      if (next == nullptr) AddChild(at, part, false, &next);
      next->permanent = true;
      if (SameName(part, u"HARDWARE")) next->isVolatile = next->volatileHive = true;
      at = next.get();
    }
  }
  return top;
}

Node* TopLocked() {
  if (Top() == nullptr) Top() = MakeTree();
  return Top().get();
}

// Walks from `start` along `parts`; `missing` is the index of the first part not found.
NodePtr Walk(NodePtr start, const std::vector<std::u16string_view>& parts, size_t count, size_t* missing) {
  NodePtr at = std::move(start);
  for (size_t i = 0; i < count; ++i) {
    NodePtr next = Child(at.get(), parts[i]);
    if (next == nullptr) {
      *missing = i;
      return at;
    }
    at = next;
  }
  *missing = count;
  return at;
}

std::u16string PathOf(const Node* n) {
  std::u16string path;
  for (; n != nullptr && n->parent != nullptr; n = n->parent) path = u"\\" + n->name + path;
  return path;
}

RegistryValue* FindValue(Node* n, std::u16string_view name) {
  for (auto& v : n->values)
    if (SameName(v.name, name)) return &v;
  return nullptr;
}

void SetValueLocked(Node* n, std::u16string_view name, ULONG type, const UCHAR* data, size_t size) {
  RegistryValue* v = FindValue(n, name);
  if (v == nullptr) {
    n->values.push_back(RegistryValue{std::u16string(name), type, {}});
    v = &n->values.back();
  }
  v->type = type;
  v->data.assign(data, data + size);
  n->lastWrite = Now();
}

bool DeleteValueLocked(Node* n, std::u16string_view name) {
  for (auto it = n->values.begin(); it != n->values.end(); ++it)
    if (SameName(it->name, name)) {
      n->values.erase(it);
      n->lastWrite = Now();
      return true;
    }
  return false;
}

// Key handles

struct KeyObject {
  NodePtr node;
  ACCESS_MASK access;
};

void CloseKey(PVOID object) {
  std::lock_guard<std::mutex> lock(HiveLock());
  delete static_cast<KeyObject*>(object);
}

const HandleKind kKeyHandle{"Key", &CloseKey};

// With the hive locked: the key behind a handle.
NTSTATUS KeyFromHandle(HANDLE h, NodePtr* node) {
  PVOID object = nullptr;
  NTSTATUS status = KernelHandles::Reference(h, &kKeyHandle, &object);
  if (!NT_SUCCESS(status)) return status;
  *node = static_cast<KeyObject*>(object)->node;
  return (*node)->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

void PassiveOnly(const char* what) { CheckIrqlAtMost(PASSIVE_LEVEL, what); }

std::u16string View(PCUNICODE_STRING s) {
  if (s == nullptr || s->Length == 0) return {};
  return U16(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string ValueNameOf(PCUNICODE_STRING s, const char* what) {
  if (s == nullptr) Violation(std::string(what) + " without a value name");
  return View(s);
}

// Resolves object attributes to a start key and the parts of the name below it.
// The parts are views into *path.
NTSTATUS Resolve(POBJECT_ATTRIBUTES oa, NodePtr* start, std::u16string* path, std::vector<std::u16string_view>* parts) {
  if (oa == nullptr) Violation("a registry routine without object attributes");
  if (oa->Length != sizeof(OBJECT_ATTRIBUTES) || (oa->Attributes & ~OBJ_VALID_ATTRIBUTES) != 0)
    return STATUS_INVALID_PARAMETER;
  PCUNICODE_STRING name = oa->ObjectName;
  if (name != nullptr && (name->Length & 1) != 0) return STATUS_OBJECT_NAME_INVALID;
  *path = View(name);
  if (oa->RootDirectory != nullptr) {
    NTSTATUS status = KeyFromHandle(oa->RootDirectory, start);
    if (!NT_SUCCESS(status)) return status;
    if (!path->empty() && (*path)[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  } else {
    if (path->empty() || (*path)[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    TopLocked();
    *start = Top();
  }
  NTSTATUS status = Split(*path, parts);
  if (!NT_SUCCESS(status)) return status;
  return oa->RootDirectory == nullptr ? CheckAbsolute(*parts) : STATUS_SUCCESS;
}

HANDLE NewKeyHandle(NodePtr node, ACCESS_MASK access) {
  return KernelHandles::Insert(&kKeyHandle, new KeyObject{std::move(node), access});
}

// Information records: the header size, the full size, and a writer given how many bytes it may
// write (at least the header).
template <typename Fill>
NTSTATUS WriteRecord(PVOID buffer, ULONG length, PULONG resultLength, size_t header, size_t full, Fill fill) {
  if (resultLength == nullptr) Violation("a registry query without a ResultLength");
  if (full > 0xFFFFFFFFull) return STATUS_INSUFFICIENT_RESOURCES;
  *resultLength = static_cast<ULONG>(full);
  if (length < header) return STATUS_BUFFER_TOO_SMALL;
  if (buffer == nullptr) Violation("a registry query with a length but no buffer");
  std::memset(buffer, 0, header);
  fill(static_cast<UCHAR*>(buffer), static_cast<size_t>(length));
  return length < full ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename T>
void Put(UCHAR* at, size_t offset, T v) {
  std::memcpy(at + offset, &v, sizeof v);
}

// Copies what fits of src to out+offset when room = the bytes the caller gave.
void PutPartial(UCHAR* out, size_t room, size_t offset, const void* src, size_t bytes) {
  if (offset >= room || bytes == 0) return;
  std::memcpy(out + offset, src, bytes < room - offset ? bytes : room - offset);
}

NTSTATUS ValueRecord(const RegistryValue& v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                     PULONG resultLength) {
  size_t nameBytes = v.name.size() * sizeof(WCHAR);
  size_t dataBytes = v.data.size();
  switch (cls) {
    case KeyValuePartialInformation: {
      constexpr size_t header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      size_t full = header + dataBytes;
      return WriteRecord(buffer, length, resultLength, header, full, [&](UCHAR* out, size_t room) {
        Put<ULONG>(out, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), v.type);
        Put<ULONG>(out, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), static_cast<ULONG>(dataBytes));
        if (room >= full) PutPartial(out, room, header, v.data.data(), dataBytes);
      });
    }
    case KeyValueBasicInformation: {
      constexpr size_t header = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      return WriteRecord(buffer, length, resultLength, header, header + nameBytes, [&](UCHAR* out, size_t room) {
        Put<ULONG>(out, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), v.type);
        Put<ULONG>(out, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), static_cast<ULONG>(nameBytes));
        PutPartial(out, room, header, v.name.data(), nameBytes);
      });
    }
    case KeyValueFullInformation: {
      constexpr size_t header = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      size_t dataOffset = (header + nameBytes + 3) & ~size_t{3};
      size_t full = dataOffset + dataBytes;
      return WriteRecord(buffer, length, resultLength, header, full, [&](UCHAR* out, size_t room) {
        Put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, Type), v.type);
        Put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), static_cast<ULONG>(dataOffset));
        Put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), static_cast<ULONG>(dataBytes));
        Put<ULONG>(out, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), static_cast<ULONG>(nameBytes));
        PutPartial(out, room, header, v.name.data(), nameBytes);
        if (room >= full) PutPartial(out, room, dataOffset, v.data.data(), dataBytes);
      });
    }
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS KeyRecord(const Node& n, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length, PULONG resultLength) {
  switch (cls) {
    case KeyBasicInformation: {
      constexpr size_t header = offsetof(KEY_BASIC_INFORMATION, Name);
      size_t nameBytes = n.name.size() * sizeof(WCHAR);
      return WriteRecord(buffer, length, resultLength, header, header + nameBytes, [&](UCHAR* out, size_t room) {
        Put<LONGLONG>(out, offsetof(KEY_BASIC_INFORMATION, LastWriteTime), n.lastWrite);
        Put<ULONG>(out, offsetof(KEY_BASIC_INFORMATION, NameLength), static_cast<ULONG>(nameBytes));
        PutPartial(out, room, header, n.name.data(), nameBytes);
      });
    }
    case KeyFullInformation: {
      constexpr size_t header = offsetof(KEY_FULL_INFORMATION, Class);
      ULONG maxName = 0, maxValueName = 0, maxData = 0;
      for (const auto& [k, child] : n.subkeys)
        maxName = std::max<ULONG>(maxName, static_cast<ULONG>(child->name.size() * sizeof(WCHAR)));
      for (const auto& v : n.values) {
        maxValueName = std::max<ULONG>(maxValueName, static_cast<ULONG>(v.name.size() * sizeof(WCHAR)));
        maxData = std::max<ULONG>(maxData, static_cast<ULONG>(v.data.size()));
      }
      return WriteRecord(buffer, length, resultLength, header, header, [&](UCHAR* out, size_t) {
        Put<LONGLONG>(out, offsetof(KEY_FULL_INFORMATION, LastWriteTime), n.lastWrite);
        Put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, ClassOffset), 0xFFFFFFFFu);
        Put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(n.subkeys.size()));
        Put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxName);
        Put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(n.values.size()));
        Put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueName);
        Put<ULONG>(out, offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxData);
      });
    }
    case KeyNameInformation: {
      constexpr size_t header = offsetof(KEY_NAME_INFORMATION, Name);
      std::u16string path = PathOf(&n);
      size_t nameBytes = path.size() * sizeof(WCHAR);
      return WriteRecord(buffer, length, resultLength, header, header + nameBytes, [&](UCHAR* out, size_t room) {
        Put<ULONG>(out, offsetof(KEY_NAME_INFORMATION, NameLength), static_cast<ULONG>(nameBytes));
        PutPartial(out, room, header, path.data(), nameBytes);
      });
    }
    case KeyNodeInformation:
      return STATUS_NOT_IMPLEMENTED;
  }
  return STATUS_INVALID_PARAMETER;
}

// Full paths for the plat:: side.
NTSTATUS FindPath(std::u16string_view path, NodePtr* node) {
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::vector<std::u16string_view> parts;
  NTSTATUS status = Split(path, &parts);
  if (NT_SUCCESS(status)) status = CheckAbsolute(parts);
  if (!NT_SUCCESS(status)) return status;
  TopLocked();
  size_t missing = 0;
  *node = Walk(Top(), parts, parts.size(), &missing);
  return missing == parts.size() ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS CreatePath(Node* top, std::u16string_view path, NodePtr* node) {
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::vector<std::u16string_view> parts;
  NTSTATUS status = Split(path, &parts);
  if (NT_SUCCESS(status)) status = CheckAbsolute(parts);
  if (!NT_SUCCESS(status)) return status;
  Node* at = top;
  NodePtr next;
  for (auto part : parts) {
    next = Child(at, part);
    if (next == nullptr) {
      status = AddChild(at, part, false, &next);
      if (!NT_SUCCESS(status)) return status;
    }
    at = next.get();
  }
  *node = next;
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace plat

using plat::NodePtr;

// Keys

namespace {
NTSTATUS OpenOrCreate(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      bool create, ULONG CreateOptions, PULONG Disposition) {
  if (KeyHandle == nullptr) plat::Violation("a registry open without a place for the handle");
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr start;
  std::u16string path;
  std::vector<std::u16string_view> parts;
  NTSTATUS status = plat::Resolve(ObjectAttributes, &start, &path, &parts);
  if (!NT_SUCCESS(status)) return status;
  size_t missing = 0;
  NodePtr at = plat::Walk(start, parts, parts.size(), &missing);
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  if (missing < parts.size()) {
    if (!create || missing + 1 < parts.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
    status = plat::AddChild(at.get(), parts[missing], (CreateOptions & REG_OPTION_VOLATILE) != 0, &at);
    if (!NT_SUCCESS(status)) return status;
    disposition = REG_CREATED_NEW_KEY;
  }
  *KeyHandle = plat::NewKeyHandle(at, DesiredAccess);
  if (Disposition != nullptr) *Disposition = disposition;
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                     PUNICODE_STRING, ULONG CreateOptions, PULONG Disposition) {
  PAGED_CODE();
  plat::PassiveOnly("ZwCreateKey");
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, Disposition);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  PAGED_CODE();
  plat::PassiveOnly("ZwOpenKey");
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
  PAGED_CODE();
  plat::PassiveOnly("ZwDeleteKey");
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr node;
  NTSTATUS status = plat::KeyFromHandle(KeyHandle, &node);
  if (!NT_SUCCESS(status)) return status;
  if (node->permanent || !node->subkeys.empty()) return STATUS_CANNOT_DELETE;
  plat::Node* parent = node->parent;
  parent->subkeys.erase(plat::Upper(node->name));
  parent->lastWrite = plat::Now();
  plat::MarkDeleted(node.get());
  return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
  PAGED_CODE();
  plat::PassiveOnly("ZwFlushKey");
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr node;
  return plat::KeyFromHandle(KeyHandle, &node);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength) {
  PAGED_CODE();
  plat::PassiveOnly("ZwQueryKey");
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr node;
  NTSTATUS status = plat::KeyFromHandle(KeyHandle, &node);
  if (!NT_SUCCESS(status)) return status;
  return plat::KeyRecord(*node, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  PAGED_CODE();
  plat::PassiveOnly("ZwEnumerateKey");
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr node;
  NTSTATUS status = plat::KeyFromHandle(KeyHandle, &node);
  if (!NT_SUCCESS(status)) return status;
  if (Index >= node->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
  auto it = node->subkeys.begin();
  std::advance(it, Index);
  return plat::KeyRecord(*it->second, KeyInformationClass, KeyInformation, Length, ResultLength);
}

// Values

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize) {
  PAGED_CODE();
  plat::PassiveOnly("ZwSetValueKey");
  std::u16string name = plat::ValueNameOf(ValueName, "ZwSetValueKey");
  if (Data == nullptr && DataSize != 0) plat::Violation("ZwSetValueKey with a size but no data");
  if (DataSize > plat::kMaxValueData) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr node;
  NTSTATUS status = plat::KeyFromHandle(KeyHandle, &node);
  if (!NT_SUCCESS(status)) return status;
  plat::SetValueLocked(node.get(), name, Type, static_cast<const UCHAR*>(Data), DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  PAGED_CODE();
  plat::PassiveOnly("ZwQueryValueKey");
  std::u16string name = plat::ValueNameOf(ValueName, "ZwQueryValueKey");
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr node;
  NTSTATUS status = plat::KeyFromHandle(KeyHandle, &node);
  if (!NT_SUCCESS(status)) return status;
  const plat::RegistryValue* v = plat::FindValue(node.get(), name);
  if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return plat::ValueRecord(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  PAGED_CODE();
  plat::PassiveOnly("ZwEnumerateValueKey");
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr node;
  NTSTATUS status = plat::KeyFromHandle(KeyHandle, &node);
  if (!NT_SUCCESS(status)) return status;
  if (Index >= node->values.size()) return STATUS_NO_MORE_ENTRIES;
  return plat::ValueRecord(node->values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                           ResultLength);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  PAGED_CODE();
  plat::PassiveOnly("ZwDeleteValueKey");
  std::u16string name = plat::ValueNameOf(ValueName, "ZwDeleteValueKey");
  std::lock_guard<std::mutex> lock(plat::HiveLock());
  NodePtr node;
  NTSTATUS status = plat::KeyFromHandle(KeyHandle, &node);
  if (!NT_SUCCESS(status)) return status;
  return plat::DeleteValueLocked(node.get(), name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// The plat:: side

namespace plat {
namespace {

// Text form

void Hex(std::string* out, unsigned v, int digits) {
  for (int d = digits - 1; d >= 0; --d) *out += "0123456789abcdef"[(v >> (4 * d)) & 0xF];
}

std::string Quoted(std::u16string_view s) {
  std::string out = "\"";
  for (char16_t c : s) {
    if (c == u'"' || c == u'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\u";
      Hex(&out, c, 4);
    }
  }
  return out + "\"";
}

std::string KeyPathText(std::u16string_view path) {
  std::string out;
  for (char16_t c : path) {
    if (c == u'%' || c < 0x20 || c >= 0x7F) {
      out += '%';
      Hex(&out, c, 4);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::vector<UCHAR> StringData(std::u16string_view s) {
  std::vector<UCHAR> data((s.size() + 1) * sizeof(WCHAR), 0);
  if (!s.empty()) std::memcpy(data.data(), s.data(), s.size() * sizeof(WCHAR));
  return data;
}

std::vector<UCHAR> MultiData(const std::vector<std::u16string>& list) {
  std::u16string all;
  for (const auto& s : list) {
    all += s;
    all += u'\0';
  }
  return StringData(all);
}

// The string(s) that give exactly these bytes, when there are such.
bool AsString(const std::vector<UCHAR>& data, std::u16string* s) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  s->assign(data.size() / 2 - 1, u'\0');
  std::memcpy(s->data(), data.data(), s->size() * sizeof(WCHAR));
  return StringData(*s) == data && s->find(u'\0') == std::u16string::npos;
}

bool AsMulti(const std::vector<UCHAR>& data, std::vector<std::u16string>* list) {
  std::u16string all;
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  all.assign(data.size() / 2 - 1, u'\0');
  std::memcpy(all.data(), data.data(), all.size() * sizeof(WCHAR));
  for (size_t i = 0; i < all.size();) {
    size_t end = all.find(u'\0', i);
    if (end == std::u16string::npos || end == i) return false;
    list->push_back(all.substr(i, end - i));
    i = end + 1;
  }
  return MultiData(*list) == data;
}

std::string ValueText(const RegistryValue& v) {
  std::string line = v.name.empty() ? "@" : Quoted(v.name);
  line += '=';
  std::u16string s;
  std::vector<std::u16string> list;
  if (v.type == REG_DWORD && v.data.size() == 4) {
    ULONG x;
    std::memcpy(&x, v.data.data(), 4);
    line += "dword:";
    Hex(&line, x, 8);
  } else if (v.type == REG_QWORD && v.data.size() == 8) {
    ULONGLONG x;
    std::memcpy(&x, v.data.data(), 8);
    line += "qword:";
    Hex(&line, static_cast<unsigned>(x >> 32), 8);
    Hex(&line, static_cast<unsigned>(x), 8);
  } else if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && AsString(v.data, &s)) {
    line += (v.type == REG_SZ ? "sz:" : "expand_sz:") + Quoted(s);
  } else if (v.type == REG_MULTI_SZ && AsMulti(v.data, &list)) {
    line += "multi_sz:";
    for (size_t i = 0; i < list.size(); ++i) line += (i ? "," : "") + Quoted(list[i]);
  } else {
    line += v.type == REG_BINARY ? "hex:" : "hex(" + std::to_string(v.type) + "):";
    for (size_t i = 0; i < v.data.size(); ++i) {
      if (i != 0) line += (i % 32 == 0) ? ",\\\n  " : ",";
      Hex(&line, v.data[i], 2);
    }
  }
  return line + "\n";
}

void KeyText(const Node& n, std::string* out) {
  if (n.isVolatile) return;
  if (!n.values.empty() || (n.subkeys.empty() && !n.permanent)) {
    *out += "\n[" + KeyPathText(PathOf(&n)) + "]\n";
    for (const auto& v : n.values) *out += ValueText(v);
  }
  for (const auto& [k, child] : n.subkeys) KeyText(*child, out);
}

// Reading it back

struct Reader {
  std::string_view s;
  size_t at = 0;
  std::string error;

  bool Fail(const std::string& what) {
    if (error.empty()) error = what;
    return false;
  }
  bool Eat(char c) {
    if (at < s.size() && s[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  bool Done() const { return at == s.size(); }
  bool HexDigits(int n, unsigned long long* v) {
    *v = 0;
    for (int i = 0; i < n; ++i, ++at) {
      int d = at < s.size() ? DigitOf(s[at]) : -1;
      if (d < 0) return Fail("expected " + std::to_string(n) + " hex digits");
      *v = *v << 4 | static_cast<unsigned>(d);
    }
    return true;
  }
  static int DigitOf(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  bool QuotedString(std::u16string* out) {
    if (!Eat('"')) return Fail("expected a quoted string");
    out->clear();
    while (at < s.size() && s[at] != '"') {
      char c = s[at++];
      if (c != '\\') {
        *out += static_cast<char16_t>(static_cast<unsigned char>(c));
        continue;
      }
      unsigned long long v = 0;
      if (Eat('\\')) *out += u'\\';
      else if (Eat('"')) *out += u'"';
      else if (Eat('u') && HexDigits(4, &v)) *out += static_cast<char16_t>(v);
      else return Fail("bad escape in a string");
    }
    if (!Eat('"')) return Fail("unterminated string");
    return true;
  }
};

bool ParseKeyPath(std::string_view text, std::u16string* path, std::string* error) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *path += static_cast<char16_t>(static_cast<unsigned char>(text[i]));
      continue;
    }
    Reader r{text, i + 1, {}};
    unsigned long long v = 0;
    if (!r.HexDigits(4, &v)) {
      *error = "bad %XXXX escape in a key name";
      return false;
    }
    *path += static_cast<char16_t>(v);
    i += 4;
  }
  return true;
}

bool ParseValue(std::string_view line, RegistryValue* v, std::string* error) {
  Reader r{line, 0, {}};
  if (!r.Eat('@') && !r.QuotedString(&v->name)) {
    *error = r.error;
    return false;
  }
  if (!r.Eat('=')) {
    *error = "expected '=' after the value name";
    return false;
  }
  size_t colon = line.find(':', r.at);
  if (colon == std::string_view::npos) {
    *error = "expected a type and ':'";
    return false;
  }
  std::string_view type = line.substr(r.at, colon - r.at);
  r.at = colon + 1;
  unsigned long long x = 0;
  bool ok = true;
  if (type == "dword") {
    v->type = REG_DWORD;
    ok = r.HexDigits(8, &x);
    ULONG d = static_cast<ULONG>(x);
    v->data.assign(reinterpret_cast<UCHAR*>(&d), reinterpret_cast<UCHAR*>(&d) + 4);
  } else if (type == "qword") {
    v->type = REG_QWORD;
    ok = r.HexDigits(16, &x);
    v->data.assign(reinterpret_cast<UCHAR*>(&x), reinterpret_cast<UCHAR*>(&x) + 8);
  } else if (type == "sz" || type == "expand_sz") {
    v->type = type == "sz" ? REG_SZ : REG_EXPAND_SZ;
    std::u16string s;
    ok = r.QuotedString(&s);
    v->data = StringData(s);
  } else if (type == "multi_sz") {
    v->type = REG_MULTI_SZ;
    std::vector<std::u16string> list;
    while (ok && !r.Done()) {
      if (!list.empty() && !r.Eat(',')) ok = r.Fail("expected ',' between strings");
      std::u16string s;
      if (ok && (ok = r.QuotedString(&s))) list.push_back(s);
    }
    v->data = MultiData(list);
  } else if (type == "hex" || (type.size() > 5 && type.substr(0, 4) == "hex(" && type.back() == ')')) {
    v->type = REG_BINARY;
    if (type != "hex") {
      std::string number(type.substr(4, type.size() - 5));
      char* end = nullptr;
      unsigned long t = std::strtoul(number.c_str(), &end, 10);
      if (number.empty() || *end != '\0' || t > 0xFFFFFFFFul) {
        *error = "bad type number in hex(N)";
        return false;
      }
      v->type = static_cast<ULONG>(t);
    }
    while (ok && !r.Done()) {
      if (!v->data.empty() && !r.Eat(',')) ok = r.Fail("expected ',' between bytes");
      if (ok && (ok = r.HexDigits(2, &x))) v->data.push_back(static_cast<UCHAR>(x));
    }
  } else {
    *error = "unknown value type '" + std::string(type) + "'";
    return false;
  }
  if (ok && !r.Done()) ok = r.Fail("unexpected text after the value");
  if (!ok) *error = r.error;
  return ok;
}

bool ParseText(std::string_view text, Node* top, std::string* error) {
  std::vector<std::string> lines;
  {
    std::string joined;
    bool pending = false;  // the previous line ended in "\\"
    size_t i = 0;
    while (i <= text.size()) {
      size_t end = text.find('\n', i);
      if (end == std::string_view::npos) end = text.size();
      std::string line(text.substr(i, end - i));
      if (!line.empty() && line.back() == '\r') line.pop_back();
      i = end + 1;
      if (pending) {  // a continuation: its leading blanks go
        size_t start = line.find_first_not_of(" \t");
        line = joined + (start == std::string::npos ? "" : line.substr(start));
        joined.clear();
        pending = false;
      }
      bool continues = !line.empty() && line.back() == '\\' && line[0] != '[' && line[0] != ';';
      if (continues) {
        line.pop_back();
        joined = line;
        pending = true;
        lines.push_back("");  // keeps line numbers
        continue;
      }
      lines.push_back(line);
    }
    if (pending) lines.push_back(joined);
  }
  NodePtr key;
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    std::string where = "line " + std::to_string(n + 1) + ": ";
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      std::u16string path;
      std::string why;
      if (line.size() < 3 || line.back() != ']') {
        *error = where + "a key line is [path]";
        return false;
      }
      if (!ParseKeyPath(std::string_view(line).substr(1, line.size() - 2), &path, &why)) {
        *error = where + why;
        return false;
      }
      NTSTATUS status = CreatePath(top, path, &key);
      if (!NT_SUCCESS(status)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
        *error = where + "cannot create the key (" + code + ")";
        return false;
      }
      continue;
    }
    if (key == nullptr) {
      *error = where + "a value before any [key]";
      return false;
    }
    RegistryValue v;
    std::string why;
    if (!ParseValue(line, &v, &why)) {
      *error = where + why;
      return false;
    }
    SetValueLocked(key.get(), v.name, v.type, v.data.data(), v.data.size());
  }
  return true;
}

}  // namespace

void RegistryHive::Clear() {
  std::lock_guard<std::mutex> lock(HiveLock());
  if (Top() != nullptr) MarkDeleted(Top().get());
  Top() = MakeTree();
}

std::string RegistryHive::ToText() {
  std::lock_guard<std::mutex> lock(HiveLock());
  std::string out = "; QX-5310 simulated registry, format 1\n";
  KeyText(*TopLocked(), &out);
  return out;
}

bool RegistryHive::FromText(std::string_view text, std::string* error) {
  NodePtr fresh;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(HiveLock());
    fresh = MakeTree();
    if (ParseText(text, fresh.get(), &why)) {
      if (Top() != nullptr) MarkDeleted(Top().get());
      Top() = fresh;
      return true;
    }
  }
  if (error != nullptr) *error = why;
  return false;
}

bool RegistryHive::Save(const std::string& file, std::string* error) {
  std::string text = ToText();
  std::string temp = file + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      if (error != nullptr) *error = "cannot write " + temp;
      return false;
    }
  }
  if (std::rename(temp.c_str(), file.c_str()) != 0) {
    std::remove(temp.c_str());
    if (error != nullptr) *error = "cannot replace " + file;
    return false;
  }
  return true;
}

bool RegistryHive::Load(const std::string& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = "cannot open " + file;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string why;
  if (FromText(text.str(), &why)) return true;
  if (error != nullptr) *error = file + ": " + why;
  return false;
}

NTSTATUS RegistryHive::CreateKey(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(HiveLock());
  NodePtr node;
  return CreatePath(TopLocked(), path, &node);
}

bool RegistryHive::KeyExists(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(HiveLock());
  NodePtr node;
  return NT_SUCCESS(FindPath(path, &node));
}

NTSTATUS RegistryHive::DeleteTree(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(HiveLock());
  NodePtr node;
  NTSTATUS status = FindPath(path, &node);
  if (!NT_SUCCESS(status)) return status;
  if (node->permanent) return STATUS_CANNOT_DELETE;
  node->parent->subkeys.erase(Upper(node->name));
  MarkDeleted(node.get());
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::SetValue(std::u16string_view path, std::u16string_view name, ULONG type, const void* data,
                                size_t size) {
  if (size > kMaxValueData) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(HiveLock());
  NodePtr node;
  NTSTATUS status = FindPath(path, &node);
  if (!NT_SUCCESS(status)) return status;
  SetValueLocked(node.get(), name, type, static_cast<const UCHAR*>(data), size);
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::SetDword(std::u16string_view path, std::u16string_view name, ULONG value) {
  return SetValue(path, name, REG_DWORD, &value, sizeof value);
}

NTSTATUS RegistryHive::SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value,
                                 ULONG type) {
  std::vector<UCHAR> data = StringData(value);
  return SetValue(path, name, type, data.data(), data.size());
}

NTSTATUS RegistryHive::QueryValue(std::u16string_view path, std::u16string_view name, RegistryValue* value) {
  std::lock_guard<std::mutex> lock(HiveLock());
  NodePtr node;
  NTSTATUS status = FindPath(path, &node);
  if (!NT_SUCCESS(status)) return status;
  const RegistryValue* v = FindValue(node.get(), name);
  if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *value = *v;
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::DeleteValue(std::u16string_view path, std::u16string_view name) {
  std::lock_guard<std::mutex> lock(HiveLock());
  NodePtr node;
  NTSTATUS status = FindPath(path, &node);
  if (!NT_SUCCESS(status)) return status;
  return DeleteValueLocked(node.get(), name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RegistryHive::SubKeys(std::u16string_view path, std::vector<std::u16string>* names) {
  std::lock_guard<std::mutex> lock(HiveLock());
  NodePtr node;
  NTSTATUS status = FindPath(path, &node);
  if (!NT_SUCCESS(status)) return status;
  names->clear();
  for (const auto& [k, child] : node->subkeys) names->push_back(child->name);
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::Values(std::u16string_view path, std::vector<RegistryValue>* values) {
  std::lock_guard<std::mutex> lock(HiveLock());
  NodePtr node;
  NTSTATUS status = FindPath(path, &node);
  if (!NT_SUCCESS(status)) return status;
  *values = node->values;
  return STATUS_SUCCESS;
}

}  // namespace plat
