#include "driver/QX531WinDevice.h"

QX531WinDevice::QX531WinDevice(PDEVICE_OBJECT lowerDevice, PnpDeviceBase* pnpDevice)
    : mLowerDevice(lowerDevice), mPnpDevice(pnpDevice) {}

QX531WinDevice::~QX531WinDevice() = default;

int32_t QX531WinDevice::ReadPreferences(PreferencesBlock*, uint32_t) { return 99; }
int32_t QX531WinDevice::WritePreferences(const PreferencesBlock*, uint32_t) { return 99; }
int32_t QX531WinDevice::SetMidiPortName(const UnitNameRecord&) { return 99; }
void QX531WinDevice::LogString(const char* text) { QX531Device::LogString(text); }
int32_t QX531WinDevice::ExtractNodeAndGenerationIDs() { return 99; }
int32_t QX531WinDevice::GetRegisterBase() { return 0; }
int32_t QX531WinDevice::OpenAddressHandle(PlatformHandle* handle, uint32_t, uint32_t, uint32_t) {
  *handle = nullptr;
  return 0;
}
int32_t QX531WinDevice::CloseAddressHandle(PlatformHandle) { return 0; }
uint32_t QX531WinDevice::ReadQuadlet(PlatformHandle, uint32_t) { return 0; }
int32_t QX531WinDevice::WriteQuadlet(PlatformHandle, uint32_t, uint32_t) { return 0; }
int32_t QX531WinDevice::WriteBlock(PlatformHandle, uint32_t, const void*, uint32_t) { return 0; }
int32_t QX531WinDevice::WriteQuadletAsync(PlatformHandle, uint32_t, const uint32_t*, WriteCompletion, void*) {
  return 99;
}
int32_t QX531WinDevice::WriteBlockAsync(PlatformHandle, uint32_t, const void*, uint32_t, WriteCompletion, void*) {
  return 99;
}
int32_t QX531WinDevice::AllocateIsochStreamObject(PlatformHandle*, uint32_t) { return 99; }
int32_t QX531WinDevice::FreeIsochStreamObject(PlatformHandle) { return 0; }
int32_t QX531WinDevice::AllocateBuffer(StreamBuffer*, uint32_t, uint32_t) { return 99; }
int32_t QX531WinDevice::FreeBuffer(StreamBuffer*) { return 0; }
int32_t QX531WinDevice::AllocateFWMemorySpace(PlatformHandle*, uint32_t, void*, uint32_t, uint32_t*, uint32_t*) {
  return 99;
}
int32_t QX531WinDevice::FreeFWMemorySpace(PlatformHandle) { return 0; }
void QX531WinDevice::TraceLabelHex(const char* label, uint32_t value) { LogLabelHex(label, value); }
void QX531WinDevice::TraceLabelDecimal(const char* label, int32_t value) { LogLabelDecimal(label, value); }
void QX531WinDevice::OnMIDIReceiveWrite(PMDL, ULONG, ULONG, PADDRESS_FIFO) {}
void QX531WinDevice::OnAsyncReceiveWrite(PMDL, ULONG, ULONG, PADDRESS_FIFO) {}
