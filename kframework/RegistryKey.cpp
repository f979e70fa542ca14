#include "kframework/RegistryKey.h"

#include <cstring>

namespace {

UNICODE_STRING View(PCWSTR s) {
  USHORT bytes = static_cast<USHORT>(WideByteLength(s));
  return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(s)};
}

// A terminated non-paged copy, or an empty string when there is no pool.
CountedString Keep(PCWSTR s) {
  CountedString copy{};
  ConcatIntoCountedString(&copy, L"", s, NonPagedPool);
  if (copy.Buffer == nullptr) ClearCountedString(&copy);
  return copy;
}

}  // namespace

PCWSTR RegistryKey::RootPath(ULONG rootKind) {
  switch (rootKind) {
    case 1: return L"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case 2: return L"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case 3: return L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case 4: return L"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP";
    case 5: return L"\\Registry\\User";
    default: return nullptr;
  }
}

RegistryKey::RegistryKey(ULONG rootKind, PCWSTR relativeName, ACCESS_MASK access, ULONG attributes, BOOLEAN create,
                         ULONG options) {
  Open(RootPath(rootKind), relativeName, access, attributes, create, options);
}

RegistryKey::RegistryKey(PCWSTR rootPath, PCWSTR relativeName, ACCESS_MASK access, ULONG attributes,
                         BOOLEAN create, ULONG options) {
  Open(rootPath, relativeName, access, attributes, create, options);
}

RegistryKey::~RegistryKey() {
  Close();
  ClearCountedString(&mRootPath);
  ClearCountedString(&mRelativePath);
}

NTSTATUS RegistryKey::Open(PCWSTR rootPath, PCWSTR relativeName, ACCESS_MASK access, ULONG attributes,
                           BOOLEAN create, ULONG options) {
  PAGED_CODE();
  if (mRootPath.Buffer == nullptr && mRelativePath.Buffer == nullptr) {
    mRootPath = Keep(rootPath != nullptr ? rootPath : L"");
    mRelativePath = Keep(relativeName != nullptr ? relativeName : L"");
    if (mRootPath.Buffer == nullptr || mRelativePath.Buffer == nullptr) {
      ClearCountedString(&mRootPath);
      ClearCountedString(&mRelativePath);
    } else {
      mAccess = access;
      mAttributes = attributes;
      mCreate = create;
      mOptions = options;
    }
  }
  Close();
  PCWSTR root = rootPath != nullptr ? rootPath : L"";
  PCWSTR relative = relativeName != nullptr ? relativeName : L"";
  ULONG rootChars = WideLength(root);
  bool rootEnds = rootChars != 0 && root[rootChars - 1] == L'\\';
  bool relativeStarts = relative[0] == L'\\';
  CountedString path{};
  NTSTATUS status =
      ConcatIntoCountedString(&path, root, (rootChars == 0 || rootEnds || relativeStarts) ? L"" : L"\\", PagedPool);
  if (NT_SUCCESS(status)) {
    CountedString joined{};
    status = ConcatIntoCountedString(&joined, path.Buffer, relative, PagedPool);
    ClearCountedString(&path);
    path = joined;
  }
  if (!NT_SUCCESS(status)) {
    ClearCountedString(&path);
    mStatus = STATUS_INSUFFICIENT_RESOURCES;
    return mStatus;
  }
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path, attributes, nullptr, nullptr);
  if (create)
    mStatus = ZwCreateKey(&mHandle, access, &oa, 0, nullptr, options, &mDisposition);
  else
    mStatus = ZwOpenKey(&mHandle, access, &oa);
  if (!NT_SUCCESS(mStatus)) mHandle = nullptr;
  ClearCountedString(&path);
  return mStatus;
}

void RegistryKey::Close() {
  if (mHandle != nullptr) ZwClose(mHandle);
  mHandle = nullptr;
}

NTSTATUS RegistryKey::QueryDwordValue(PCWSTR name, ULONG* value) {
  PAGED_CODE();
  UNICODE_STRING valueName = View(name);
  alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  ULONG got = 0;
  mStatus = ZwQueryValueKey(mHandle, &valueName, KeyValuePartialInformation, info,
                            offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG), &got);
  if (!NT_SUCCESS(mStatus)) return mStatus;
  std::memcpy(value, info->Data, info->DataLength < sizeof(ULONG) ? info->DataLength : sizeof(ULONG));
  if (info->Type != REG_DWORD) mStatus = STATUS_OBJECT_TYPE_MISMATCH;
  return mStatus;
}

NTSTATUS RegistryKey::SetValue(PCWSTR name, ULONG type, PVOID data, ULONG size) {
  PAGED_CODE();
  UNICODE_STRING valueName = View(name);
  mStatus = ZwSetValueKey(mHandle, &valueName, 0, type, data, size);
  return mStatus;
}

NTSTATUS RegistryKey::SetDwordValue(PCWSTR name, ULONG value) { return SetValue(name, REG_DWORD, &value, sizeof value); }

NTSTATUS RegistryKey::QueryValue(PCWSTR name, PVOID* buffer, ULONG* size, POOL_TYPE poolType) {
  PAGED_CODE();
  UNICODE_STRING valueName = View(name);
  bool allocated = false;
  if (*size == 0) {
    KEY_VALUE_PARTIAL_INFORMATION probe{};
    ULONG got = 0;
    NTSTATUS status = ZwQueryValueKey(mHandle, &valueName, KeyValuePartialInformation, &probe, sizeof probe, &got);
    if ((status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) ||
        probe.DataLength == 0) {
      mStatus = STATUS_INSUFFICIENT_RESOURCES;
      return mStatus;
    }
    *buffer = ExAllocatePoolWithTag(poolType, probe.DataLength, kFrameworkPoolTag);
    if (*buffer == nullptr) {
      mStatus = STATUS_INSUFFICIENT_RESOURCES;
      return mStatus;
    }
    *size = probe.DataLength;
    allocated = true;
  }
  ULONG tempSize = *size + 12;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, tempSize, kFrameworkPoolTag));
  if (info == nullptr) {
    mStatus = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    ULONG got = 0;
    mStatus = ZwQueryValueKey(mHandle, &valueName, KeyValuePartialInformation, info, tempSize, &got);
    if (NT_SUCCESS(mStatus)) {
      ULONG n = info->DataLength < *size ? info->DataLength : *size;
      std::memcpy(*buffer, info->Data, n);
      *size = n;
    }
    ExFreePoolWithTag(info, kFrameworkPoolTag);
  }
  if (!NT_SUCCESS(mStatus) && allocated) {
    ExFreePoolWithTag(*buffer, kFrameworkPoolTag);
    *buffer = nullptr;
    *size = 0;
  }
  return mStatus;
}
