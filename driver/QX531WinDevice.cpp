#include "driver/QX531WinDevice.h"

#include <cstddef>
#include <cstring>

#include "driver/UnitInstanceTable.h"
#include "kframework/KernelDriverBase.h"
#include "kframework/RegistryKey.h"

namespace {

constexpr int32_t kFailure = 99;

// The first entries of a unit's log, so its start can be found.
constexpr uint32_t kLogStartHex = 0x123456;
constexpr int32_t kLogStartDecimal = 7890;

constexpr WCHAR kParametersKey[] = L"Parameters";
constexpr WCHAR kPreferencesValue[] = L"Preferences";
constexpr WCHAR kFriendlyNameValue[] = L"FriendlyName";
constexpr WCHAR kExpansionPortSuffix[] = L"MidiKR6";
constexpr ULONG kExpansionPortSuffixChars = sizeof kExpansionPortSuffix / sizeof(WCHAR) - 1;

// A port name: at most this many wide characters with the terminator, so any name written can be
// read back and renamed again.
constexpr ULONG kPortNameChars = 64;
constexpr ULONG kPortNameQueryBytes = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + kPortNameChars * sizeof(WCHAR);

// The audio, capture and render interface classes the units' MIDI ports are registered under, in
// the order they are renamed.
constexpr GUID kPortInterfaceClasses[] = {
    {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},
    {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},
    {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},
};

UNICODE_STRING CountedName(PCWSTR name) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, name);
  return s;
}

// The driver's service key, as the driver was started with it.
PCWSTR ServiceKeyPath() { return DriverInstance != nullptr ? DriverInstance->mRegistryPath.Buffer : nullptr; }

bool EndsWithExpansionPort(PCWSTR link, ULONG chars) {
  return chars >= kExpansionPortSuffixChars &&
         std::memcmp(link + chars - kExpansionPortSuffixChars, kExpansionPortSuffix,
                     kExpansionPortSuffixChars * sizeof(WCHAR)) == 0;
}

// The characters of a REG_SZ value before its terminator.
ULONG StringChars(const KEY_VALUE_PARTIAL_INFORMATION* value) {
  const auto* text = reinterpret_cast<const WCHAR*>(value->Data);
  ULONG chars = value->DataLength / sizeof(WCHAR);
  for (ULONG i = 0; i < chars; ++i) {
    if (text[i] == 0) return i;
  }
  return chars;
}

enum class Rename { Kept, Written, NotAString };

// Gives one interface the name unless it already has it; an interface whose name cannot be read
// keeps it.
Rename RenamePort(PUNICODE_STRING link, const UNICODE_STRING& name, PKEY_VALUE_PARTIAL_INFORMATION current) {
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(link, KEY_ALL_ACCESS, &key))) return Rename::Kept;
  UNICODE_STRING valueName = CountedName(kFriendlyNameValue);
  ULONG returned = 0;
  Rename result = Rename::Kept;
  if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, current, kPortNameQueryBytes, &returned))) {
    if (current->Type != REG_SZ) {
      result = Rename::NotAString;
    } else if (StringChars(current) * sizeof(WCHAR) != name.Length ||
               std::memcmp(current->Data, name.Buffer, name.Length) != 0) {
      ZwSetValueKey(key, &valueName, 0, REG_SZ, name.Buffer, name.Length + sizeof(WCHAR));
      result = Rename::Written;
    }
  }
  ZwClose(key);
  return result;
}

}  // namespace

// The unit table is shared by every unit of the driver, so its lock is too.
static KSPIN_LOCK gUnitTableLock = 0;

QX531WinDevice::QX531WinDevice(PDEVICE_OBJECT lowerDevice, PnpDeviceBase* pnpDevice)
    : mLowerDevice(lowerDevice), mPnpDevice(pnpDevice) {
  for (KSPIN_LOCK& lock : mEngineLocks) KeInitializeSpinLock(&lock);
  KeInitializeSpinLock(&mAsioSignalLock);
  KeInitializeSpinLock(&mDescriptorLock);
  TraceLabelHex("QX531WinDevice::QX531WinDevice() ", kLogStartHex);
  TraceLabelDecimal("QX531WinDevice::QX531WinDevice() ", kLogStartDecimal);
}

QX531WinDevice::~QX531WinDevice() { mClientMutex.Release(); }

PKSPIN_LOCK QX531WinDevice::SpinLockOf(EngineLock lock) {
  return lock == EngineLock::UnitTable ? &gUnitTableLock : &mEngineLocks[static_cast<size_t>(lock)];
}

void QX531WinDevice::AcquireEngineLock(EngineLock lock) {
  KIRQL irql;
  KeAcquireSpinLock(SpinLockOf(lock), &irql);
  mEngineLockIrql[static_cast<size_t>(lock)] = irql;
}

void QX531WinDevice::ReleaseEngineLock(EngineLock lock) {
  KeReleaseSpinLock(SpinLockOf(lock), mEngineLockIrql[static_cast<size_t>(lock)]);
}

void QX531WinDevice::TraceLabelHex(const char* label, uint32_t value) { LogLabelHex(label, value); }

void QX531WinDevice::TraceLabelDecimal(const char* label, int32_t value) { LogLabelDecimal(label, value); }

// The block is taken only whole, of the current layout; the engine checks its settings.
int32_t QX531WinDevice::ReadPreferences(PreferencesBlock* block, uint32_t) {
  PAGED_CODE();
  RegistryKey key(ServiceKeyPath(), kParametersKey, KEY_READ, OBJ_CASE_INSENSITIVE, TRUE, 0);
  if (!NT_SUCCESS(key.mStatus)) return kFailure;
  constexpr ULONG kQueryBytes = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(PreferencesBlock);
  auto* value = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, kQueryBytes, DerivedPoolTag));
  if (value == nullptr) return kFailure;
  UNICODE_STRING name = CountedName(kPreferencesValue);
  ULONG returned = 0;
  PreferencesBlock stored;
  bool taken = false;
  if (NT_SUCCESS(ZwQueryValueKey(key.mHandle, &name, KeyValuePartialInformation, value, kQueryBytes, &returned)) &&
      value->Type == REG_BINARY && value->DataLength == sizeof(PreferencesBlock)) {
    std::memcpy(&stored, value->Data, sizeof stored);
    taken = stored.HasCurrentLayout();
  }
  ExFreePool(value);
  if (!taken) return kFailure;
  *block = stored;
  return 0;
}

int32_t QX531WinDevice::WritePreferences(const PreferencesBlock* block, uint32_t) {
  PAGED_CODE();
  RegistryKey key(ServiceKeyPath(), kParametersKey, KEY_READ | KEY_SET_VALUE, OBJ_CASE_INSENSITIVE, TRUE, 0);
  if (!NT_SUCCESS(key.mStatus)) return kFailure;
  UNICODE_STRING name = CountedName(kPreferencesValue);
  PreferencesBlock copy = *block;
  return NT_SUCCESS(ZwSetValueKey(key.mHandle, &name, 0, REG_BINARY, &copy, sizeof copy)) ? 0 : kFailure;
}

int32_t QX531WinDevice::SetMidiPortName(const UnitNameRecord& record) {
  PAGED_CODE();
  PDEVICE_OBJECT child = FindUnitInstance(static_cast<LONG>(record.mSerial));
  if (child == nullptr) return 0;

  // The record's name need not be terminated.
  const auto* end = static_cast<const char*>(std::memchr(record.mName, 0, sizeof record.mName));
  ULONG nameBytes = end != nullptr ? static_cast<ULONG>(end - record.mName) : sizeof record.mName;
  if (nameBytes > kPortNameChars - 1) nameBytes = kPortNameChars - 1;
  ANSI_STRING ansi{static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes), const_cast<PCHAR>(record.mName)};
  WCHAR nameChars[kPortNameChars] = {};
  UNICODE_STRING name{0, sizeof nameChars, nameChars};
  if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&name, &ansi, FALSE))) return kFailure;

  auto* current = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
      ExAllocatePoolWithTag(PagedPool, kPortNameQueryBytes, DerivedPoolTag));
  if (current == nullptr) return kFailure;
  int32_t result = 0;
  for (const GUID& interfaceClass : kPortInterfaceClasses) {
    PWSTR links = nullptr;
    if (!NT_SUCCESS(IoGetDeviceInterfaces(&interfaceClass, child, 0, &links))) continue;
    for (PWSTR link = links; *link != 0 && result == 0; link += WideLength(link) + 1) {
      const ULONG chars = WideLength(link);
      if (!EndsWithExpansionPort(link, chars)) continue;
      UNICODE_STRING linkName{static_cast<USHORT>(chars * sizeof(WCHAR)), static_cast<USHORT>(chars * sizeof(WCHAR)),
                              link};
      if (RenamePort(&linkName, name, current) == Rename::NotAString) result = kFailure;
    }
    ExFreePool(links);
    if (result != 0) break;
  }
  ExFreePool(current);
  return result;
}
