#include "unit/QX531Device.h"

#include "unit/UnitTable.h"

void QX531Device::PublishLcdBlock(const LcdTextBlock* block) {
  mPublishedLcd.store(block);
  mLcdUpdateCount.fetch_add(1);
  UnitTable::Shared().AdvanceLcdStamp();
}

void QX531Device::HandleModeCommand(uint32_t command, uint32_t value) {
  command &= 0xFFFF;
  value &= 0xFFFF;
  if (command == 3 && value == 1) {
    if (mPanelAttached) {
      ++mSharedState.mPanelRequest;
      BumpChangeCount();
    } else {
      OnPanelRequest();
    }
  } else if (command == 4) {
    MakeActiveUnit();
  }
}

void QX531Device::MakeActiveUnit() {
  EngineLockGuard guard(*this, EngineLock::UnitTable);
  MakeActiveUnitLocked();
}

// A unit that becomes active shows its clients a new LCD update count.
void QX531Device::MakeActiveUnitLocked() {
  UnitTable& table = UnitTable::Shared();
  if (!mSharedState.mActive) table.AdvanceLcdStamp();
  for (uint32_t i = 0; i < UnitTable::kSlots; ++i) {
    QX531Device* unit = table.At(i);
    if (unit == this) {
      if (mSharedState.mActive) continue;
      mSharedState.mActive = 1;
      mLcdUpdateCount.store(table.LcdStamp());
      BumpChangeCount();
    } else if (unit != nullptr && unit->mSharedState.mActive) {
      unit->mSharedState.mActive = 0;
      unit->BumpChangeCount();
    }
  }
}

QX531Device* QX531Device::GetActiveUnit() {
  EngineLockGuard guard(*this, EngineLock::UnitTable);
  return GetActiveUnitLocked();
}

QX531Device* QX531Device::GetActiveUnitLocked() {
  const UnitTable& table = UnitTable::Shared();
  for (uint32_t i = 0; i < UnitTable::kSlots; ++i) {
    QX531Device* unit = table.At(i);
    if (unit != nullptr && unit->mSharedState.mActive == 1) return unit;
  }
  return this;
}

void QX531Device::LogString(const char* text) {
  EngineLockGuard guard(*this, EngineLock::DebugLog);
  mLog.Append(text);
}

void QX531Device::LogHex(uint32_t value) {
  char hex[11];
  DebugLog::FormatHex(value, hex);
  LogString(hex);
}

void QX531Device::LogLabelHex(const char* label, uint32_t value) {
  char hex[11];
  DebugLog::FormatHex(value, hex);
  LogLabelledLine(label, hex);
}

void QX531Device::LogDecimal(int32_t value) {
  char decimal[11];
  DebugLog::FormatDecimal(value, decimal);
  LogString(decimal);
}

void QX531Device::LogLabelDecimal(const char* label, int32_t value) {
  char decimal[11];
  DebugLog::FormatDecimal(value, decimal);
  LogLabelledLine(label, decimal);
}

// One line under one lock, so that a racing writer cannot split label from value.
void QX531Device::LogLabelledLine(const char* label, const char* value) {
  EngineLockGuard guard(*this, EngineLock::DebugLog);
  mLog.Append(label);
  mLog.Append(value);
  mLog.Append("\n");
}
