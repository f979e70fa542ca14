#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "driver/MidiParser.h"

namespace {

// Every event the parser completes is a well-formed message or SysEx chunk whose unused bytes are 0.
void CheckEvent(const MidiParsedEvent& e) {
  const UCHAR b1 = e.mBytes[0], b2 = e.mBytes[1], b3 = e.mBytes[2];
  const bool d1 = b1 < 0x80, d2 = b2 < 0x80, d3 = b3 < 0x80;
  bool good = false;
  switch (e.mCodeIndex) {
    case kCinTwoByteCommon: good = (b1 == 0xF1 || b1 == 0xF3) && d2 && b3 == 0; break;
    case kCinThreeByteCommon: good = b1 == 0xF2 && d2 && d3; break;
    case kCinSysExContinues: good = (d1 || b1 == 0xF0) && d2 && d3; break;
    case kCinSingleByte: good = !d1 && b1 < 0xF8 && b2 == 0 && b3 == 0; break;
    case kCinSysExEndsTwo: good = (d1 || b1 == 0xF0) && !d2 && b2 < 0xF8 && b3 == 0; break;
    case kCinSysExEndsThree: good = (d1 || b1 == 0xF0) && d2 && !d3 && b3 < 0xF8; break;
    case 0x8: case 0x9: case 0xA: case 0xB: case 0xE: good = b1 >> 4 == e.mCodeIndex && d2 && d3; break;
    case 0xC: case 0xD: good = b1 >> 4 == e.mCodeIndex && d2 && b3 == 0; break;
    case kCinRealTime: good = b1 >= 0xF8 && b2 == 0 && b3 == 0; break;
    default: break;
  }
  if (!good) std::abort();
}

void CheckMessage(PVOID context, ULONG cable, const KernelMidiEvent* event) {
  if (cable >= kMidiParserCables || event->mCableKind != cable << 4 || event->mValue != 0) std::abort();
  for (UCHAR unused : event->mUnused)
    if (unused != 0) std::abort();
  ++*static_cast<size_t*>(context);
}

}  // namespace

// The input is read twice: as a byte stream through one parser, which must keep its state in range
// and complete at most two events per byte; and as big-endian USB-MIDI packets from the unit
// through the client port's eight cable parsers.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MidiParser parser;
  InitializeMidiParser(&parser, 5);
  for (size_t i = 0; i < size; ++i) {
    ParseMidiByte(&parser, data[i]);
    if (parser.mState > kMidiInSysEx || parser.mPendingCount > 2 || parser.mCable != 5) std::abort();
    MidiParsedEvent event;
    int taken = 0;
    while (TakeMidiEvent(&parser, &event)) {
      CheckEvent(event);
      if (++taken > 2) std::abort();
    }
  }

  MidiCableParsers parsers;
  InitializeMidiCableParsers(&parsers);
  size_t delivered = 0;
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const ULONG packet = ULONG{data[i]} << 24 | ULONG{data[i + 1]} << 16 | ULONG{data[i + 2]} << 8 | data[i + 3];
    UnpackMidiWord(&parsers, packet, &CheckMessage, &delivered);
  }
  if (delivered > 2 * 3 * (size / 4)) std::abort();
  return 0;
}
