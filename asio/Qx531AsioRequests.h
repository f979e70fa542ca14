// The unit driver's ASIO requests as this 64-bit DLL sends them, and their records: request
// numbers for the library's Ioctl, and the layouts of a 64-bit caller.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kAsioGetCaps = 256;
inline constexpr uint32_t kAsioStart = 257;
inline constexpr uint32_t kAsioStop = 258;
inline constexpr uint32_t kAsioCreateBuffers = 259;
inline constexpr uint32_t kAsioDisposeBuffers = 260;
inline constexpr uint32_t kAsioClose = 261;
inline constexpr uint32_t kAsioSetClockSource = 262;
inline constexpr uint32_t kAsioGetClockState = 263;
inline constexpr uint32_t kAsioSetSampleRate = 264;
inline constexpr uint32_t kAsioOutputReady = 265;

inline constexpr uint32_t kAsioCapsMagicWord = 397411;
inline constexpr uint32_t kAsioCapsInput = 24;
inline constexpr uint32_t kAsioUnitChannels = 18;
inline constexpr uint32_t kAsioChannelSlots = 34;

struct AsioCaps {
  uint32_t magic;
  uint32_t bufferFrames;
  uint32_t inputs;
  uint32_t outputs;
  uint32_t sampleBits;
};
static_assert(sizeof(AsioCaps) == 20 && offsetof(AsioCaps, sampleBits) == 16);

struct AsioStartIn {
  uint64_t event;
};
struct AsioStartOut {
  uint64_t indexCell;
};
static_assert(sizeof(AsioStartIn) == 8 && sizeof(AsioStartOut) == 8);

struct AsioCreateRequest {
  uint32_t sampleBits;
  uint32_t frames;
  uint64_t reserved;
  uint32_t playbackCount;
  uint32_t playbackChannels[kAsioChannelSlots];
  uint32_t recordCount;
  uint32_t recordChannels[kAsioChannelSlots];
};
static_assert(sizeof(AsioCreateRequest) == 296);
static_assert(offsetof(AsioCreateRequest, playbackCount) == 16 && offsetof(AsioCreateRequest, playbackChannels) == 20);
static_assert(offsetof(AsioCreateRequest, recordCount) == 156 && offsetof(AsioCreateRequest, recordChannels) == 160);

// Both halves of the k-th record entry at 2k and 2k + 1, of the k-th playback entry at 68 + 2k and 69 + 2k.
struct AsioCreateReply {
  uint64_t addresses[4 * kAsioChannelSlots];
};
static_assert(sizeof(AsioCreateReply) == 1088);
inline constexpr uint32_t kAsioPlaybackAddresses = 2 * kAsioChannelSlots;

struct AsioClockState {
  uint32_t clockSource;  // 1 internal, 2 word clock, 3 S/PDIF, 4 ADAT
  uint32_t sampleRate;
  uint32_t resetRequest;
};
static_assert(sizeof(AsioClockState) == 12 && offsetof(AsioClockState, resetRequest) == 8);
