#include "driver/IsochStream.h"

#include <cstddef>

IsochTransfer::IsochTransfer(ULONG stamp) : mSignature(stamp) {
  ListInit(&mAttached, offsetof(IsochAttachment, mLink));
  KeInitializeSpinLock(&mAttachedLock);
  KeInitializeSpinLock(&mAttachLock);
}

void IsochTransfer::OnListDone(NTSTATUS, PISOCH_DESCRIPTOR) {}
void IsochTransfer::OnStreamStarted(NTSTATUS) {}
void IsochTransfer::OnStreamStopped(NTSTATUS) {}

IsochTransfer::~IsochTransfer() {
  if (mRequestBlocksMade) ExDeleteNPagedLookasideList(&mRequestBlocks);
}

IsochStream::IsochStream(ULONG stamp, ULONG direction) : IsochTransfer(stamp), mDirection(direction) {}
