#include "driver/UnitInstanceTable.h"

UnitInstanceTable gUnitInstances;

void UnitInstanceTable::Register(PDEVICE_OBJECT child, LONG key) {
  for (Entry& entry : mEntries) {
    if (entry.mUsed) continue;
    entry = Entry{1, child, key};
    return;
  }
}

void UnitInstanceTable::Unregister(LONG key, BOOLEAN firstEntry) {
  if (firstEntry) {
    mEntries[0] = Entry{};
    return;
  }
  for (Entry& entry : mEntries) {
    if (!entry.mUsed || entry.mKey != key) continue;
    entry = Entry{};
    return;
  }
}

PDEVICE_OBJECT UnitInstanceTable::Find(LONG key) const {
  for (const Entry& entry : mEntries) {
    if (entry.mUsed && entry.mKey == key) return entry.mChild;
  }
  return nullptr;
}

void RegisterUnitInstance(PDEVICE_OBJECT child, LONG key) {
  PAGED_CODE();
  gUnitInstances.Register(child, key);
}

void UnregisterUnitInstance(LONG key, BOOLEAN firstEntry) {
  PAGED_CODE();
  gUnitInstances.Unregister(key, firstEntry);
}

PDEVICE_OBJECT FindUnitInstance(LONG key) {
  PAGED_CODE();
  return gUnitInstances.Find(key);
}
