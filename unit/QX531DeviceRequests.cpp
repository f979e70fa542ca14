#include <cstring>

#include "unit/ControlRequests.h"
#include "unit/QX531Device.h"
#include "unit/RegisterMap.h"
#include "unit/UnitTable.h"

namespace {

uint32_t WordAt(const void* buffer, uint32_t index) {
  uint32_t word = 0;
  std::memcpy(&word, static_cast<const uint8_t*>(buffer) + 4 * index, sizeof word);
  return word;
}

// Copies a reply of size bytes when the buffer holds it.
int32_t Reply(void* buffer, uint32_t outputLength, const void* data, uint32_t size, uint32_t* bytesReturned) {
  if (buffer == nullptr || outputLength < size) return kQX531Failure;
  std::memcpy(buffer, data, size);
  if (bytesReturned != nullptr) *bytesReturned = size;
  return kQX531Success;
}

// The character byte of each display cell.
int32_t ReplyLcdText(const LcdTextBlock* block, void* buffer, uint32_t outputLength, uint32_t* bytesReturned) {
  if (block == nullptr) return kQX531Failure;
  uint8_t text[LcdTextBlock::kCells];
  for (std::size_t i = 0; i < LcdTextBlock::kCells; ++i) text[i] = block->mCells[i].mCharacter;
  return Reply(buffer, outputLength, text, sizeof text, bytesReturned);
}

int32_t ReplyLcdBlock(const LcdTextBlock* block, void* buffer, uint32_t outputLength, uint32_t* bytesReturned) {
  if (block == nullptr) return kQX531Failure;
  return Reply(buffer, outputLength, block, sizeof *block, bytesReturned);
}

}  // namespace

int32_t QX531Device::HandleControlRequest(uint32_t request, void* buffer, uint32_t inputLength,
                                          uint32_t outputLength, uint32_t* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  switch (request) {
    case QX531RequestNumber(IOCTL_QX531_READ_LOG): {
      EngineLockGuard guard(*this, EngineLock::DebugLog);
      const uint32_t count = mLog.Drain(static_cast<uint8_t*>(buffer), buffer != nullptr ? outputLength : 0);
      if (bytesReturned != nullptr) *bytesReturned = count;
      return kQX531Success;
    }
    case QX531RequestNumber(IOCTL_QX531_GET_CHANGE_COUNT): {
      const uint32_t count = mChangeCount.load();
      return Reply(buffer, outputLength, &count, sizeof count, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_GET_PREFERENCES): {
      EngineLockGuard guard(*this, EngineLock::UnitTable);
      return Reply(buffer, outputLength, &mPreferences, sizeof mPreferences, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_GET_SHARED_STATE):
      return Reply(buffer, outputLength, &mSharedState, sizeof mSharedState, bytesReturned);
    case QX531RequestNumber(IOCTL_QX531_WRITE_LOG):
      if (buffer != nullptr) {
        EngineLockGuard guard(*this, EngineLock::DebugLog);
        mLog.Append(static_cast<const char*>(buffer), inputLength);
      }
      return kQX531Success;
    case QX531RequestNumber(IOCTL_QX531_SET_STREAM_MASK):
      return RequestSetStreamMask(buffer, inputLength);
    case QX531RequestNumber(IOCTL_QX531_GET_STREAM_MASK): {
      if (outputLength != 4) return kQX531Failure;
      uint32_t mask = mStreamMask;
      if (!mStreaming) mask &= ~kStreamMaskAudio;
      if (!mMidiRunning) mask &= ~kStreamMaskMidi;
      return Reply(buffer, outputLength, &mask, sizeof mask, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_WRITE_BLOCK_4000):
      if (buffer == nullptr) return kQX531Failure;
      if (mPluggedIn && inputLength != 0 &&
          WriteBlock(mRequestsHandle, QX5310_MIDI_OUT_WINDOW, buffer, inputLength) != 0)
        return kQX531Failure;
      return kQX531Success;
    case QX531RequestNumber(IOCTL_QX531_WRITE_REGISTER): {
      if (buffer == nullptr) return kQX531Failure;
      if (!mPluggedIn || inputLength != sizeof(WriteRegisterRequest)) return kQX531Success;
      WriteRegisterRequest write;
      std::memcpy(&write, buffer, sizeof write);
      if (write.mOffset == QX5310_PROGRAMMING_WORD) {
        mSharedState.mProgrammingWord = write.mValue;
        BumpChangeCount();
      }
      WriteQuadlet(mSyncHandle, write.mOffset, write.mValue);
      return kQX531Success;
    }
    case QX531RequestNumber(IOCTL_QX531_READ_REGISTER): {
      if (buffer == nullptr || outputLength != 4 || inputLength < 4) return kQX531Failure;
      if (!mPluggedIn) return kQX531Success;
      const uint32_t value = ReadQuadlet(mSyncHandle, WordAt(buffer, 0));
      return Reply(buffer, outputLength, &value, sizeof value, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_WRITE_BLOCK_8000):
      if (buffer == nullptr) return kQX531Failure;
      if (mPluggedIn && WriteBlock(mRequestsHandle, QX5310_FLASH_DATA_WINDOW, buffer, inputLength) != 0)
        return kQX531Failure;
      return kQX531Success;
    case QX531RequestNumber(IOCTL_QX531_SET_PREFERENCE):
      return RequestSetPreference(buffer, inputLength);
    case QX531RequestNumber(IOCTL_QX531_SET_PANEL_ATTACHED):
      if (buffer != nullptr && inputLength >= 4 && mPluggedIn) mPanelAttached = WordAt(buffer, 0);
      return kQX531Success;
    case QX531RequestNumber(IOCTL_QX531_SET_INPUT_MONITOR):
      if (buffer != nullptr && inputLength >= sizeof(InputMonitorRequest) && mPluggedIn) {
        InputMonitorRequest monitor;
        std::memcpy(&monitor, buffer, sizeof monitor);
        WriteQuadlet(mSyncHandle, QX5310_INPUT_MONITOR,
                     InputMonitorWord(monitor.mChannel, monitor.mOn, monitor.mGain, monitor.mPan));
      }
      return kQX531Success;
    case QX531RequestNumber(IOCTL_QX531_GET_ACTIVE_LCD_COUNT): {
      EngineLockGuard guard(*this, EngineLock::UnitTable);
      const uint32_t count = GetActiveUnitLocked()->mLcdUpdateCount.load();
      return Reply(buffer, outputLength, &count, sizeof count, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_GET_ACTIVE_LCD_TEXT): {
      EngineLockGuard guard(*this, EngineLock::UnitTable);
      return ReplyLcdText(GetActiveUnitLocked()->mPublishedLcd.load(), buffer, outputLength, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_SET_PANEL_REQUEST):
      if (mPluggedIn) {
        mSharedState.mPanelRequest = 1;
        BumpChangeCount();
      }
      return kQX531Success;
    case QX531RequestNumber(IOCTL_QX531_GET_UNIT_LIST_COUNT): {
      const uint32_t count = mUnitListCount.load();
      return Reply(buffer, outputLength, &count, sizeof count, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_GET_UNIT_RECORDS): {
      UnitNameRecord records[PreferencesBlock::kUnitNameRecords] = {};
      {
        EngineLockGuard guard(*this, EngineLock::UnitTable);
        const UnitTable& table = UnitTable::Shared();
        uint32_t n = 0;
        for (const UnitNameRecord& record : mPreferences.mUnitNames) {
          if (record.mSerial != 0 && table.FindUnitBySerial(record.mSerial) != nullptr) records[n++] = record;
        }
      }
      return Reply(buffer, outputLength, records, sizeof records, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_SET_UNIT_RECORD):
      return RequestSetUnitRecord(buffer, inputLength);
    case QX531RequestNumber(IOCTL_QX531_SET_UNIT_LAMP):
      return RequestSetUnitLamp(buffer, inputLength);
    case QX531RequestNumber(IOCTL_QX531_SWAP_UNIT_RECORDS):
      return RequestSwapUnitRecords(buffer, inputLength);
    case QX531RequestNumber(IOCTL_QX531_GET_LCD_COUNT): {
      const uint32_t count = mLcdUpdateCount.load();
      return Reply(buffer, outputLength, &count, sizeof count, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_GET_LCD_TEXT):
      return ReplyLcdText(mPublishedLcd.load(), buffer, outputLength, bytesReturned);
    case QX531RequestNumber(IOCTL_QX531_GET_ACTIVE_LCD_BLOCK): {
      EngineLockGuard guard(*this, EngineLock::UnitTable);
      return ReplyLcdBlock(GetActiveUnitLocked()->mPublishedLcd.load(), buffer, outputLength, bytesReturned);
    }
    case QX531RequestNumber(IOCTL_QX531_GET_LCD_BLOCK):
      return ReplyLcdBlock(mPublishedLcd.load(), buffer, outputLength, bytesReturned);
    default:
      return kQX531Success;
  }
}

// Starts and stops what the mask asks for; the first failure among them is the result.
int32_t QX531Device::RequestSetStreamMask(const void* buffer, uint32_t inputLength) {
  if (buffer == nullptr || inputLength != 4) return kQX531Failure;
  uint32_t mask = WordAt(buffer, 0);
  if (!mHasAudio) mask &= ~kStreamMaskAudio;
  if (!mHasMidi) mask &= ~kStreamMaskMidi;

  int32_t result = kQX531Success;
  auto note = [&result](int32_t stepResult) {
    if (result == kQX531Success) result = stepResult;
  };
  if ((mask & kStreamMaskAudio) && !mStreaming) {
    note(StartAudioStreams());
  } else if (!(mask & kStreamMaskAudio) && mStreaming) {
    note(StopAudioStreams());
  }
  if ((mask & kStreamMaskMidi) && !mMidiRunning) {
    note(StartMidi());
  } else if (!(mask & kStreamMaskMidi) && mMidiRunning) {
    note(StopMidi());
  }
  mStreamMask = mask;
  mSharedState.mStreamMask = mask;
  BumpChangeCount();
  return result;
}

// A setting goes to every unit and then to the store. Ids must name a word of settings; values
// must be in the setting's valid set.
int32_t QX531Device::RequestSetPreference(const void* buffer, uint32_t inputLength) {
  if (buffer == nullptr || inputLength < sizeof(SetPreferenceRequest) || !mPluggedIn) return kQX531Success;
  SetPreferenceRequest set;
  std::memcpy(&set, buffer, sizeof set);
  if (set.mMagic != PreferencesBlock::kMagic || set.mVersion != PreferencesBlock::kVersion) return kQX531Success;
  if (set.mParameterId > PreferencesBlock::kLastParameterId) return kQX531Success;
  if (set.mParameterId < PreferencesBlock::kParamClockSource || set.mParameterId % 4 != 0) return kQX531Failure;
  if (!PreferencesBlock::IsValidValue(set.mParameterId, set.mValue)) return kQX531Failure;
  {
    EngineLockGuard guard(*this, EngineLock::UnitTable);
    SetPreference(set.mParameterId, set.mValue);
    BumpChangeCount();
    const UnitTable& table = UnitTable::Shared();
    for (uint32_t i = 0; i < UnitTable::kSlots; ++i) {
      QX531Device* unit = table.At(i);
      if (unit == nullptr || unit == this) continue;
      unit->SetPreference(set.mParameterId, set.mValue);
      unit->BumpChangeCount();
    }
  }
  WritePreferences(&mPreferences, 0);
  return kQX531Success;
}

int32_t QX531Device::RequestSetUnitRecord(const void* buffer, uint32_t inputLength) {
  if (buffer == nullptr || inputLength < sizeof(UnitNameRecord) || !mPluggedIn) return kQX531Success;
  UnitNameRecord record;
  std::memcpy(&record, buffer, sizeof record);
  if (record.mSerial == 0) return kQX531Success;
  bool replaced = false;
  {
    EngineLockGuard guard(*this, EngineLock::UnitTable);
    const UnitTable& table = UnitTable::Shared();
    UnitNameRecord* names = mPreferences.mUnitNames;
    for (uint32_t r = 0; r < PreferencesBlock::kUnitNameRecords && !replaced; ++r) {
      if (names[r].mSerial != record.mSerial) continue;
      names[r] = record;
      replaced = true;
    }
    // Records 8-14 of units no longer present make room; the rest are kept.
    for (uint32_t position = 8; position <= 14; ++position) {
      if (names[position].mSerial == 0 || table.FindUnitBySerial(names[position].mSerial) != nullptr) continue;
      for (uint32_t r = position; r < PreferencesBlock::kUnitNameRecords - 1; ++r) names[r] = names[r + 1];
      names[PreferencesBlock::kUnitNameRecords - 1] = UnitNameRecord{};
    }
    if (QX531Device* unit = table.FindUnitBySerial(record.mSerial); unit != nullptr) {
      unit->mSharedState.mUnitName = record;
      if (unit != this) unit->BumpChangeCount();
    }
    FinishUnitRecordChange();
  }
  if (replaced) SetMidiPortName(record);
  WritePreferences(&mPreferences, 0);
  return kQX531Success;
}

int32_t QX531Device::RequestSwapUnitRecords(const void* buffer, uint32_t inputLength) {
  if (buffer == nullptr || inputLength < sizeof(SwapUnitRecordsRequest) || !mPluggedIn) return kQX531Success;
  SwapUnitRecordsRequest swap;
  std::memcpy(&swap, buffer, sizeof swap);
  if (swap.mSerialA == 0 || swap.mSerialB == 0) return kQX531Success;
  {
    EngineLockGuard guard(*this, EngineLock::UnitTable);
    UnitNameRecord* a = nullptr;
    UnitNameRecord* b = nullptr;
    for (UnitNameRecord& record : mPreferences.mUnitNames) {
      if (record.mSerial == swap.mSerialA) a = &record;
      if (record.mSerial == swap.mSerialB) b = &record;
    }
    if (a != nullptr && b != nullptr) {
      const UnitNameRecord kept = *a;
      *a = *b;
      *b = kept;
    }
    FinishUnitRecordChange();
  }
  WritePreferences(&mPreferences, 0);
  return kQX531Success;
}

// Clients of every unit re-read the unit list; the block goes to every unit.
void QX531Device::FinishUnitRecordChange() {
  mUnitListCount.fetch_add(1);
  BumpChangeCount();
  BroadcastPreferencesLocked();
}

int32_t QX531Device::RequestSetUnitLamp(const void* buffer, uint32_t inputLength) {
  if (buffer == nullptr || inputLength < sizeof(UnitLampRequest) || !mPluggedIn) return kQX531Success;
  UnitLampRequest lamp;
  std::memcpy(&lamp, buffer, sizeof lamp);
  EngineLockGuard guard(*this, EngineLock::UnitTable);
  QX531Device* unit = UnitTable::Shared().FindUnitBySerial(lamp.mSerial);
  if (unit != nullptr && lamp.mLampId <= kLastLampId && lamp.mState <= 1) unit->SetLamp(lamp.mLampId, lamp.mState);
  return kQX531Success;
}

// Channel in bits 24-30 and "off" in bit 31, pan in bits 16-23, gain in bits 0-15. Each field is
// bounded on its own so that no input reaches its neighbour.
uint32_t QX531Device::InputMonitorWord(uint32_t channel, uint32_t on, uint32_t gain, uint32_t pan) {
  int64_t panField = (static_cast<int64_t>(static_cast<int32_t>(pan)) + 0x400000) >> 23;
  if (panField < 0) panField = 0;
  if (panField > 0xFF) panField = 0xFF;
  uint64_t gainField = (static_cast<uint64_t>(gain) + 0x2000) >> 14;
  if (gainField > 0xFFFF) gainField = 0xFFFF;
  return (channel & 0x7F) << 24 | (on == 0 ? 0x80000000u : 0) | static_cast<uint32_t>(panField) << 16 |
         static_cast<uint32_t>(gainField);
}
