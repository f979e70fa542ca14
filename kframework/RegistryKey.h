// A registry key opened under one of the fixed roots, kept with what it was opened with so that
// it can be opened again.
#pragma once

#include <wdm.h>

#include "kframework/KernelUtil.h"

class RegistryKey {
 public:
  // Root kinds: 0 absolute, 1 the services key, 2 the control key, 3 the Windows NT version key,
  // 4 the hardware device map, 5 the users' root; any other kind has no root.
  RegistryKey(ULONG rootKind, PCWSTR relativeName, ACCESS_MASK access, ULONG attributes, BOOLEAN create,
              ULONG options);
  RegistryKey(PCWSTR rootPath, PCWSTR relativeName, ACCESS_MASK access, ULONG attributes, BOOLEAN create,
              ULONG options);
  ~RegistryKey();

  NTSTATUS Open(PCWSTR rootPath, PCWSTR relativeName, ACCESS_MASK access, ULONG attributes, BOOLEAN create,
                ULONG options);
  void Close();
  NTSTATUS QueryDwordValue(PCWSTR name, ULONG* value);
  NTSTATUS SetValue(PCWSTR name, ULONG type, PVOID data, ULONG size);
  NTSTATUS SetDwordValue(PCWSTR name, ULONG value);
  // With *size 0 the value's size is asked first and *buffer allocated from `poolType`; the data
  // are copied only on success and never beyond *size bytes.
  NTSTATUS QueryValue(PCWSTR name, PVOID* buffer, ULONG* size, POOL_TYPE poolType);

  static PCWSTR RootPath(ULONG rootKind);

  HANDLE mHandle = nullptr;
  NTSTATUS mStatus = STATUS_UNSUCCESSFUL;
  CountedString mRootPath{};
  CountedString mRelativePath{};
  ACCESS_MASK mAccess = 0;
  ULONG mAttributes = 0;
  BOOLEAN mCreate = FALSE;
  ULONG mOptions = 0;
  ULONG mDisposition = 0;
};
