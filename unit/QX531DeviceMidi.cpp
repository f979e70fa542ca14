#include <algorithm>
#include <cstring>

#include "unit/MIDIEventPacket.h"
#include "unit/QX531Device.h"

void QX531Device::ConstructMIDIEvent(uint32_t cable, uint8_t byte1, uint8_t byte2, uint8_t byte3, uint32_t* result) {
  *result = 0;
  const MIDIEventBuild built = BuildMIDIEventPacket(cable, byte1, byte2, byte3);
  if (built.mComplaint != nullptr) LogString(built.mComplaint);
  *result = built.mPacket;
}

// Records are 8 bytes, the event first (already in host order); the window is read no further than
// its own 4096 bytes, whatever count the write reports.
void QX531Device::HandleMIDIReceive(uint32_t count) {
  if (count == 0 || count % 8 != 0) return;
  const uint32_t bytes = std::min(count, kMidiReceiveBytes);
  for (uint32_t i = 0; i < bytes; i += 8) {
    uint32_t event;
    std::memcpy(&event, &mMIDIReceiveBuffer[i], sizeof event);
    DeliverMIDIInEvent(event);
  }
}

void QX531Device::SendSurfaceMIDIEvent(uint8_t status, uint8_t data1, uint8_t data2) {
  uint32_t event = 0;
  ConstructMIDIEvent(kSurfaceCable, status, data1, data2, &event);
  if (event != 0) DeliverMIDIInEvent(event);
}
