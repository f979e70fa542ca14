#include <cstring>

#include "driver/BusRequests.h"
#include "driver/IsochStream.h"
#include "driver/QX531WinDevice.h"
#include "driver/ReceiveWindows.h"

namespace {

constexpr int32_t kFailure = 99;

// How long AllocateFWMemorySpace waits for the bus driver's address: 1000 times 20 ms.
constexpr ULONG kAddressWaits = 1000;
constexpr LONGLONG kAddressWait100ns = -20 * 10000;

void Sleep20ms() {
  LARGE_INTEGER interval;
  interval.QuadPart = kAddressWait100ns;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

template <class Window>
void DestroyWindow(Window* window) {
  window->~Window();
  KernelFreeMemory(window);
}

// Empties the window's receive-buffer list, freeing each buffer and its record.
void FreeReceiveBuffers(ReceiveWindow* window) {
  while (PSLIST_ENTRY entry = ExInterlockedPopEntrySList(&window->mReceiveBuffers, &window->mReceiveLock)) {
    auto* fifo = CONTAINING_RECORD(entry, ADDRESS_FIFO, FifoList);
    FreeReceiveBuffer(fifo);
    KernelFree(fifo);
  }
}

// A window that no longer waits for its address: the range (if any), the receive buffers and the
// window itself.
void ReleaseWindow(ReceiveWindow* window) {
  PAGED_CODE();
  FreeAddressRange(window->mLink, &window->mRange);
  FreeReceiveBuffers(window);
  DestroyWindow(window);
}

}  // namespace

int32_t QX531WinDevice::AllocateBuffer(StreamBuffer* buffer, uint32_t size, uint32_t) {
  PAGED_CODE();
  *buffer = StreamBuffer{};
  if (size == 0) return kFailure;
  auto* memory = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, size, kFrameworkPoolTag));
  if (memory == nullptr) return kFailure;
  *buffer = StreamBuffer{memory, memory};
  return 0;
}

int32_t QX531WinDevice::FreeBuffer(StreamBuffer* buffer) {
  PAGED_CODE();
  if (buffer->mBuffer != nullptr) ExFreePoolWithTag(buffer->mBuffer, kFrameworkPoolTag);
  *buffer = StreamBuffer{};
  return 0;
}

int32_t QX531WinDevice::AllocateIsochStreamObject(PlatformHandle* stream, uint32_t direction) {
  PAGED_CODE();
  *stream = KernelNew<IsochStream>(NonPagedPool, static_cast<ULONG>(direction));
  return *stream != nullptr ? 0 : kFailure;
}

int32_t QX531WinDevice::FreeIsochStreamObject(PlatformHandle stream) {
  PAGED_CODE();
  auto* object = static_cast<IsochStream*>(stream);
  if (object == nullptr) return 0;
  object->~IsochStream();
  KernelFreeMemory(object);
  return 0;
}

int32_t QX531WinDevice::AllocateFWMemorySpace(PlatformHandle* slot, uint32_t flags, void* buffer, uint32_t size,
                                              uint32_t* offsetHigh, uint32_t* offsetLow) {
  PAGED_CODE();
  // Every failure leaves the offsets 0, the refused flags included.
  *offsetHigh = 0;
  *offsetLow = 0;
  if (flags != 0) return kFailure;
  LowerDeviceLink* link = GetLowerDeviceLink();
  ReceiveWindow** held = nullptr;
  ReceiveWindow* window = nullptr;
  if (buffer == mMIDIReceiveBuffer) {
    held = &mMidiWindow;
    window = KernelNew<MidiReceiveWindow>(NonPagedPool, this, link);
  } else if (buffer == mAsyncReceiveBuffer) {
    held = &mAsyncWindow;
    window = KernelNew<AsyncReceiveWindow>(NonPagedPool, this, link);
  }
  *slot = window;
  if (window == nullptr) return kFailure;
  // Known before any write can arrive, so a notification finds its window.
  *held = window;

  for (ULONG i = 0; i < ReceiveWindow::kReceiveBuffers; ++i) {
    auto* fifo = static_cast<PADDRESS_FIFO>(KernelAlloc(sizeof(ADDRESS_FIFO)));
    if (fifo != nullptr) std::memset(fifo, 0, sizeof *fifo);
    if (fifo == nullptr || !NT_SUCCESS(AllocateReceiveBuffer(fifo, size))) {
      KernelFree(fifo);
      ReleaseWindow(window);
      *held = nullptr;
      *slot = nullptr;
      return kFailure;
    }
    window->ReturnReceiveBuffer(fifo);
  }

  AddressRangeAllocation* request =
      BuildAllocateAddressRange(window, size, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE, nullptr, nullptr, 0, 0,
                                &window->mReceiveBuffers, &window->mReceiveLock, &window->mRange);
  if (request == nullptr) {
    ReleaseWindow(window);
    *held = nullptr;
    *slot = nullptr;
    return kFailure;
  }
  // The completion has run when the send failed, so the status is no longer pending then.
  SubmitIrbAsync(link, &request->mIrb, AddressRangeAllocated, request);
  for (ULONG i = 0; i < kAddressWaits && window->mRange.mAllocationStatus == STATUS_PENDING; ++i) Sleep20ms();

  const AddressRangeRecord& range = window->mRange;
  // Still pending: the window stays in the slot, and its release waits for the answer.
  if (range.mAllocationStatus == STATUS_PENDING) return kFailure;
  if (!NT_SUCCESS(range.mAllocationStatus) || range.mAddressCount == 0) {
    ReleaseWindow(window);
    *held = nullptr;
    *slot = nullptr;
    return kFailure;
  }
  *offsetHigh = range.mAddresses[0].AR_Off_High;
  *offsetLow = range.mAddresses[0].AR_Off_Low;
  TraceLabelHex("AllocateFWMemorySpace   addressHi              ", *offsetHigh);
  TraceLabelHex("AllocateFWMemorySpace   addressLo              ", *offsetLow);
  return 0;
}

int32_t QX531WinDevice::FreeFWMemorySpace(PlatformHandle slot) {
  PAGED_CODE();
  auto* window = static_cast<ReceiveWindow*>(slot);
  if (window == nullptr) return 0;
  // An allocation the bus driver has not answered yet still names the window.
  while (window->mRange.mAllocationStatus == STATUS_PENDING) Sleep20ms();
  if (window == mMidiWindow) mMidiWindow = nullptr;
  if (window == mAsyncWindow) mAsyncWindow = nullptr;
  ReleaseWindow(window);
  return 0;
}

// The write's bytes go to the engine's buffer and the receive buffer back to the bus driver at
// once, before the engine runs.
void QX531WinDevice::TakeReceivedWrite(ReceiveWindow* window, PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo,
                                       uint8_t* destination) {
  const auto* source = static_cast<const uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  if (source != nullptr) std::memcpy(destination, source + offset, length);
  if (fifo != nullptr) window->ReturnReceiveBuffer(fifo);
}

// Whether a write lies inside its receive buffer and fits the engine's buffer.
bool QX531WinDevice::WriteFits(PMDL mdl, ULONG offset, ULONG length, ULONG room) {
  const ULONG held = mdl != nullptr ? MmGetMdlByteCount(mdl) : 0;
  return length <= room && offset <= held && length <= held - offset;
}

// Records of 8 bytes whose first quadlet is big-endian on the bus. A write that is no whole
// records still gives its receive buffer back.
void QX531WinDevice::OnMIDIReceiveWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo) {
  if (length % 8 != 0 || !WriteFits(mdl, offset, length, sizeof mMIDIReceiveBuffer)) {
    if (fifo != nullptr) mMidiWindow->ReturnReceiveBuffer(fifo);
    return;
  }
  TakeReceivedWrite(mMidiWindow, mdl, offset, length, fifo, mMIDIReceiveBuffer);
  for (ULONG at = 0; at < length; at += 8) {
    uint32_t first;
    std::memcpy(&first, mMIDIReceiveBuffer + at, sizeof first);
    first = __builtin_bswap32(first);
    std::memcpy(mMIDIReceiveBuffer + at, &first, sizeof first);
  }
  HandleMIDIReceive(length);
}

void QX531WinDevice::OnAsyncReceiveWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo) {
  if (!WriteFits(mdl, offset, length, sizeof mAsyncReceiveBuffer)) {
    if (fifo != nullptr) mAsyncWindow->ReturnReceiveBuffer(fifo);
    return;
  }
  TakeReceivedWrite(mAsyncWindow, mdl, offset, length, fifo, mAsyncReceiveBuffer);
  HandleAsyncReceive(length);
}

void MidiReceiveWindow::OnWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo) {
  mOwner->OnMIDIReceiveWrite(mdl, offset, length, fifo);
}

void AsyncReceiveWindow::OnWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo) {
  mOwner->OnAsyncReceiveWrite(mdl, offset, length, fifo);
}
