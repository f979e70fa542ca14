// The driver-wide table that finds a unit's child device by the unit's serial. Its writers are the
// units' start, stop and removal, which plug and play runs at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

class UnitInstanceTable {
 public:
  static constexpr ULONG kEntries = 16;

  struct Entry {
    UCHAR mUsed;
    PDEVICE_OBJECT mChild;
    LONG mKey;
  };

  // Into the first free entry; a full table drops it.
  void Register(PDEVICE_OBJECT child, LONG key);
  // Clears the first entry in use with that key, or with `firstEntry` entry 0.
  void Unregister(LONG key, BOOLEAN firstEntry);
  // The child of the first entry in use with that key, or null.
  PDEVICE_OBJECT Find(LONG key) const;

  Entry mEntries[kEntries] = {};
};

// The driver's one table.
extern UnitInstanceTable gUnitInstances;

void RegisterUnitInstance(PDEVICE_OBJECT child, LONG key);
void UnregisterUnitInstance(LONG key, BOOLEAN firstEntry);
PDEVICE_OBJECT FindUnitInstance(LONG key);
