#include "tests/unit/UnitDouble.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <ostream>

#include "tests/unit/EngineCheckpoint.h"
#include "unit/RegisterMap.h"

BusOp W(uint32_t offset, uint32_t value) { return BusOp{BusOp::Write, offset, value, {}}; }
BusOp Q(uint32_t offset, uint32_t value) { return BusOp{BusOp::QueuedWrite, offset, value, {}}; }

std::ostream& operator<<(std::ostream& out, const BusOp& op) {
  static const char* const kKinds[] = {"W", "WriteBlock", "Q", "QueuedBlock"};
  out << kKinds[op.mKind] << "(0x" << std::hex << op.mOffset << ", 0x" << op.mValue << std::dec;
  if (!op.mData.empty()) out << ", " << op.mData.size() << " bytes";
  return out << ")";
}

UnitDouble::~UnitDouble() {
  mInternals.mHeld.clear();
  HandleUnPlug();
  for (const auto& spare : mSpareBuffers) delete[] spare.first;
}

void UnitDouble::LookLikeMainUnit(uint32_t hardwareVersion) {
  mRegisters[QX5310_REGISTER_VERSION] = 0x00020005;
  mRegisters[QX5310_FPGA_VERSION] = 0x00000107;
  mRegisters[QX5310_ARM_VERSION] = 0x00000203;
  mRegisters[QX5310_HARDWARE_VERSION] = hardwareVersion;
  mRegisters[QX5310_GUID_MSB] = 0x00A0B0C0;
  mRegisters[QX5310_GUID_LSB] = 0x12345678;
}

void UnitDouble::LookLikeExpansionUnit(uint32_t serial) {
  mRegisters[QX5310_REGISTER_VERSION] = 0x00010003;
  mRegisters[QX5310_FPGA_VERSION] = 0x00000101;
  mRegisters[QX5310_ARM_VERSION] = 0x00000102;
  mRegisters[QX5310_HARDWARE_VERSION] = 0x00010000;
  mRegisters[QX5310_GUID_MSB] = 0x00A0B0C1;
  mRegisters[QX5310_GUID_LSB] = serial;
}

bool UnitDouble::ReleaseOne(uint32_t status) {
  if (mInternals.mHeld.empty()) return false;
  Held held = std::move(mInternals.mHeld.front());
  mInternals.mHeld.pop_front();
  if (std::memcmp(held.mSource, held.mIssued.data(), held.mIssued.size()) != 0) mQueuedValueChanged = true;
  held.mCompletion(held.mContext, status);
  return true;
}

void UnitDouble::ReleaseAll() {
  while (ReleaseOne()) {
  }
}

std::vector<BusOp> UnitDouble::QueuedWrites() const {
  std::vector<BusOp> queued;
  for (const BusOp& op : mWrites) {
    if (op.mKind == BusOp::QueuedWrite || op.mKind == BusOp::QueuedBlock) queued.push_back(op);
  }
  return queued;
}

std::vector<BusOp> UnitDouble::WritesTo(uint32_t offset) const {
  std::vector<BusOp> writes;
  for (const BusOp& op : mWrites) {
    if (op.mOffset == offset) writes.push_back(op);
  }
  return writes;
}

std::function<void()> UnitDouble::Checkpoint(StreamBuffers streamBuffers) {
  std::vector<std::pair<uint8_t*, std::vector<uint8_t>>> buffers;
  if (streamBuffers == StreamBuffers::Restore) {
    for (const auto& [buffer, length] : mInternals.mBuffers) buffers.emplace_back(buffer, std::vector<uint8_t>(buffer, buffer + length));
  }
  std::optional<SettingsStore> store;
  if (mInternals.mStore != nullptr) store = *mInternals.mStore;
  return [this, engine = CheckpointEngine(*this), state = UnitDoubleState(*this), internals = mInternals,
          buffers = std::move(buffers), store] {
    engine();
    for (const auto& [buffer, bytes] : buffers) std::memcpy(buffer, bytes.data(), bytes.size());
    static_cast<UnitDoubleState&>(*this) = state;
    mInternals = internals;
    if (store) *mInternals.mStore = *store;
  };
}

int32_t UnitDouble::Step(const char* name) {
  mCalls.emplace_back(name);
  const auto result = mResults.find(name);
  return result == mResults.end() ? 0 : result->second;
}

int32_t UnitDouble::ReadPreferences(PreferencesBlock* block, uint32_t) {
  if (const int32_t result = Step("ReadPreferences"); result != 0) return result;
  if (mInternals.mStore == nullptr || !mInternals.mStore->mHasBlock) return 1;
  *block = mInternals.mStore->mBlock;
  return 0;
}

int32_t UnitDouble::WritePreferences(const PreferencesBlock* block, uint32_t) {
  mCalls.emplace_back("WritePreferences");
  if (mInternals.mStore == nullptr) return 1;
  mInternals.mStore->mBlock = *block;
  mInternals.mStore->mHasBlock = true;
  ++mInternals.mStore->mWrites;
  return 0;
}

int32_t UnitDouble::ExtractNodeAndGenerationIDs() {
  mNodeNum = 2;
  mlocalNodeNum = mLocalNode;
  mGenerationNumber = 7;
  return Step("ExtractNodeAndGenerationIDs");
}

int32_t UnitDouble::GetRegisterBase() {
  mRegBaseAddress = 0xF0000000;
  return Step("GetRegisterBase");
}

int32_t UnitDouble::OpenAddressHandle(PlatformHandle* handle, uint32_t block, uint32_t queued, uint32_t) {
  if (const int32_t result = Step("OpenAddressHandle"); result != 0) return result;
  *handle = reinterpret_cast<PlatformHandle>(mInternals.mNextHandle++);
  mOpenedHandles.emplace_back(block, queued);
  ++mLiveHandles;
  return 0;
}

int32_t UnitDouble::CloseAddressHandle(PlatformHandle) {
  --mLiveHandles;
  return Step("CloseAddressHandle");
}

int32_t UnitDouble::AllocateIsochStreamObject(PlatformHandle* stream, uint32_t direction) {
  if (const int32_t result = Step("AllocateIsochStreamObject"); result != 0) return result;
  *stream = reinterpret_cast<PlatformHandle>(uintptr_t{0x100} + direction);
  return 0;
}

int32_t UnitDouble::AllocateFWMemorySpace(PlatformHandle* range, uint32_t, void*, uint32_t length, uint32_t* hi,
                                          uint32_t* lo) {
  if (const int32_t result = Step("AllocateFWMemorySpace"); result != 0) return result;
  *range = reinterpret_cast<PlatformHandle>(uintptr_t{0x200} + length);
  *hi = 0x0001;
  *lo = length == kMidiReceiveBytes ? 0x00100000 : 0x00200000;
  return 0;
}

int32_t UnitDouble::AllocateBuffer(StreamBuffer* buffer, uint32_t length, uint32_t) {
  if (mFailBufferFrom >= 0 && mInternals.mBuffersAllocated++ >= mFailBufferFrom) return 1;
  const auto spare = std::find_if(mSpareBuffers.rbegin(), mSpareBuffers.rend(),
                                  [length](const auto& b) { return b.second == length; });
  if (spare != mSpareBuffers.rend()) {
    buffer->mBuffer = spare->first;
    mSpareBuffers.erase(std::next(spare).base());
  } else {
    buffer->mBuffer = new uint8_t[length];
  }
  std::memset(buffer->mBuffer, 0xEE, length);
  buffer->mMapping = buffer->mBuffer;
  mInternals.mBuffers[buffer->mBuffer] = length;
  ++mLiveBuffers;
  return 0;
}

int32_t UnitDouble::FreeBuffer(StreamBuffer* buffer) {
  const auto known = mInternals.mBuffers.find(buffer->mBuffer);
  const uint32_t length = known != mInternals.mBuffers.end() ? known->second : 0;
  if (known != mInternals.mBuffers.end()) mInternals.mBuffers.erase(known);
  if (mRecycleBuffers && length != 0) {
    mSpareBuffers.emplace_back(buffer->mBuffer, length);
  } else {
    delete[] buffer->mBuffer;
  }
  --mLiveBuffers;
  return 0;
}

int32_t UnitDouble::AllocateIsochStream(PlatformHandle, uint32_t direction) {
  if (const int32_t result = Step(direction == 0 ? "AllocateIsochStream0" : "AllocateIsochStream1"); result != 0) {
    return result;
  }
  if (direction == 0) {
    SetRecordIsochChannel(1, 2);
  } else {
    SetPlaybackIsochChannel(2, 2);
  }
  return 0;
}

int32_t UnitDouble::FreeIsochStream(PlatformHandle, uint32_t direction) {
  return Step(direction == 0 ? "FreeIsochStream0" : "FreeIsochStream1");
}

int32_t UnitDouble::OnPanelRequest() {
  ++mPanelRequests;
  return 0;
}

uint32_t UnitDouble::ReadQuadlet(PlatformHandle, uint32_t offset) {
  const auto value = mRegisters.find(offset);
  return value == mRegisters.end() ? 0 : value->second;
}

int32_t UnitDouble::WriteQuadlet(PlatformHandle, uint32_t offset, uint32_t value) {
  mRegisters[offset] = value;
  mWrites.push_back(W(offset, value));
  return 0;
}

int32_t UnitDouble::WriteBlock(PlatformHandle, uint32_t offset, const void* data, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  mWrites.push_back(BusOp{BusOp::WriteBlock, offset, 0, {bytes, bytes + length}});
  return 0;
}

int32_t UnitDouble::WriteQuadletAsync(PlatformHandle, uint32_t offset, const uint32_t* value,
                                      WriteCompletion completion, void* context) {
  return Queue(Q(offset, *value), value, completion, context);
}

int32_t UnitDouble::WriteBlockAsync(PlatformHandle, uint32_t offset, const void* data, uint32_t length,
                                    WriteCompletion completion, void* context) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  return Queue(BusOp{BusOp::QueuedBlock, offset, 0, {bytes, bytes + length}}, data, completion, context);
}

int32_t UnitDouble::Queue(BusOp op, const void* source, WriteCompletion completion, void* context) {
  if (mCompletions == Completions::Refused) {
    ++mRefused;
    return 1;
  }
  if (op.mKind == BusOp::QueuedWrite) mRegisters[op.mOffset] = op.mValue;
  std::vector<uint8_t> issued(op.mKind == BusOp::QueuedWrite ? sizeof op.mValue : op.mData.size());
  std::memcpy(issued.data(), source, issued.size());
  mWrites.push_back(std::move(op));
  switch (mCompletions) {
    case Completions::Inline:
    case Completions::Failed:
      if (++mInternals.mNested > mMostNested) mMostNested = mInternals.mNested;
      completion(context, mCompletions == Completions::Inline ? kWriteStatusSuccess : mFailStatus);
      --mInternals.mNested;
      break;
    case Completions::Held:
      mInternals.mHeld.push_back(Held{completion, context, static_cast<const uint8_t*>(source), std::move(issued)});
      if (static_cast<int32_t>(mInternals.mHeld.size()) > mMostHeld) mMostHeld = static_cast<int32_t>(mInternals.mHeld.size());
      break;
    case Completions::Refused: break;
  }
  return 0;
}

int32_t UnitDouble::SetMidiPortName(const UnitNameRecord& record) {
  mPortNames.push_back(record);
  return 0;
}
