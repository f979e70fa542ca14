// What the test adapter image and its tests share: where the adapter writes what it saw (the
// registry, which outlives the image) and the shape of its filters.
#pragma once

namespace testadapter {

inline constexpr char16_t kEventsKey[] = u"\\Registry\\Machine\\Software\\QxTest\\PcTestAdapter";
inline constexpr char16_t kHardwareId[] = u"QXTEST\\PCADAPTER";
inline constexpr char16_t kService[] = u"PcTestAdapter";
inline constexpr char16_t kImage[] = u"PcTestAdapter.sys";

// Wave filter pins.
constexpr unsigned kWaveCapturePin = 0;
constexpr unsigned kWaveRenderPin = 2;
constexpr unsigned kWaveBufferBytes = 0x4000;
// MIDI filter pins and the size of the loop from render to capture.
constexpr unsigned kMidiRenderPin = 0;
constexpr unsigned kMidiCapturePin = 2;
constexpr unsigned kMidiLoopBytes = 64;
// Topology nodes.
constexpr unsigned kVolumeNode = 0;
constexpr unsigned kMuteNode = 1;

}  // namespace testadapter
