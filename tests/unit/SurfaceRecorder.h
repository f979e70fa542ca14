#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <utility>
#include <vector>

#include "unit/ButtonActionTable.h"
#include "unit/SurfaceEmulator.h"

// One MIDI message as the emulator's send callback gave it.
struct Msg {
  uint8_t s, d1, d2;
  bool operator==(const Msg&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Msg& m) {
  return out << std::hex << "{" << int{m.s} << " " << int{m.d1} << " " << int{m.d2} << "}" << std::dec;
}
using Msgs = std::vector<Msg>;

inline Msg NoteOn(uint8_t note, uint8_t velocity = 127) { return {0x90, note, velocity}; }
inline Msg Cc(uint8_t controller, uint8_t value) { return {0xB0, controller, value}; }
inline Msg Cc15(uint8_t controller, uint8_t value) { return {0xBE, controller, value}; }
inline Msg Cc16(uint8_t controller, uint8_t value) { return {0xBF, controller, value}; }
inline Msg Bend(uint32_t fader, uint32_t position) {
  return {static_cast<uint8_t>(0xE0 + fader), static_cast<uint8_t>((position & 7) << 4),
          static_cast<uint8_t>(position >> 3)};
}
inline Msgs HuiSwitch(uint8_t zone, uint8_t port, bool press) {
  return {Cc(0x0F, zone), Cc(0x2F, static_cast<uint8_t>(press ? 0x40 | port : port))};
}

inline const char* ProtocolName(uint8_t mode) {
  switch (mode) {
    case kProtocolNative: return "native";
    case kProtocolMackie: return "Mackie Control";
    case kProtocolHui: return "HUI";
    case kProtocolCubaseLe: return "Cubase LE";
    default: return "Cubase SX";
  }
}

// A surface emulator whose callbacks record what it did, driven as the status words would.
class SurfaceRecorder {
 public:
  explicit SurfaceRecorder(uint8_t mode, const SurfaceLayout& layout = kSurfaceLayout1) : mLayout(layout) {
    mSurface.InitSurfaceEngine(layout);
    mSurface.SetOwner(this, kCallbacks);
    mSurface.mEmulationMode = mode;
    mButtons.fill(0xFF);
    mFaders.fill(0);
    mFaders[11] = 0x1FF;
    mEncoders.fill(0);
  }

  bool HasButton(uint16_t code) const { return BitOf(code) >= 0; }
  void Press(uint16_t code) { SetButton(code, true); }
  void Release(uint16_t code) { SetButton(code, false); }
  void Fader(uint32_t fader, uint16_t position) {
    mFaders[fader] = position;
    mSurface.HandleFaderState(mFaders.data());
  }
  void Touch(uint32_t fader, bool touched) {
    mFaders[11] = static_cast<uint16_t>(touched ? mFaders[11] & ~(1u << fader) : mFaders[11] | 1u << fader);
    mSurface.HandleFaderState(mFaders.data());
  }
  void Turn(uint32_t encoder, int32_t delta) {
    mEncoders[encoder] = static_cast<int16_t>(mEncoders[encoder] + delta);
    mSurface.HandleEncoderState(mEncoders.data());
  }
  // One cable-4 packet from the host.
  void Host(uint8_t cin, uint8_t status, uint8_t d1 = 0, uint8_t d2 = 0) {
    mSurface.HandleSurfaceMIDIEvent(0x40000000u | uint32_t{cin} << 24 | uint32_t{status} << 16 | uint32_t{d1} << 8 | d2);
  }
  // A SysEx message from the host, in packets of three bytes as a client would send it.
  void HostSysEx(const std::vector<uint8_t>& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
      const std::size_t left = bytes.size() - i;
      if (left > 3 || (left == 3 && bytes[i + 2] != 0xF7)) {
        Host(4, bytes[i], bytes[i + 1], bytes[i + 2]);
        i += 3;
      } else {
        const uint8_t cin = left == 3 ? 7 : left == 2 ? 6 : 5;
        Host(cin, bytes[i], left > 1 ? bytes[i + 1] : 0, left > 2 ? bytes[i + 2] : 0);
        i += left;
      }
    }
  }
  Msgs Take() { return std::exchange(mMidi, {}); }
  std::string Text(std::size_t first, std::size_t count) const {
    std::string text;
    for (std::size_t i = first; i < first + count; ++i) text += static_cast<char>(mSurface.Lcd().mCells[i].mCharacter);
    return text;
  }

  SurfaceEmulator mSurface;
  Msgs mMidi;
  std::vector<std::pair<uint32_t, uint32_t>> mLamps;
  std::vector<std::pair<uint32_t, uint32_t>> mFaderMoves;
  std::vector<std::pair<uint32_t, uint32_t>> mModeCommands;
  int mPublished = 0;

 private:
  int BitOf(uint16_t code) const {
    for (const SurfaceButtonRow* row = mLayout.mButtonMap; row->mCode != 0; ++row) {
      if (row->mCode == code) return row->mBitId;
    }
    return -1;
  }
  void SetButton(uint16_t code, bool held) {
    const int bit = BitOf(code);
    uint8_t& byte = mButtons[bit >> 4];
    byte = static_cast<uint8_t>(held ? byte & ~(1u << (bit & 7)) : byte | 1u << (bit & 7));
    mSurface.HandleButtonState(mButtons.data());
  }

  static constexpr SurfaceCallbacks kCallbacks = {
      [](void* o, const LcdTextBlock*) { ++static_cast<SurfaceRecorder*>(o)->mPublished; },
      [](void* o, uint8_t s, uint8_t d1, uint8_t d2) { static_cast<SurfaceRecorder*>(o)->mMidi.push_back({s, d1, d2}); },
      [](void* o, uint32_t id, uint32_t state) { static_cast<SurfaceRecorder*>(o)->mLamps.emplace_back(id, state); },
      [](void* o, uint32_t f, uint32_t p) { static_cast<SurfaceRecorder*>(o)->mFaderMoves.emplace_back(f, p); },
      [](void* o, uint32_t c, uint32_t v) { static_cast<SurfaceRecorder*>(o)->mModeCommands.emplace_back(c, v); },
      [](void*, const char*) {},
      [](void*, uint32_t) {},
  };

  const SurfaceLayout& mLayout;
  std::array<uint8_t, 16> mButtons;
  std::array<uint16_t, 12> mFaders;
  std::array<int16_t, 12> mEncoders;
};
