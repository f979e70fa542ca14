#include "unit/SampleConverters.h"

#include <array>
#include <cstring>
#include <utility>

namespace {

inline uint32_t LoadWire(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

inline void StoreWire(uint8_t* p, uint32_t v) {
  v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
  std::memcpy(p, &v, sizeof v);
}

// The block width is a constant of each routine, so the per-block loop has no branch on it.
template <uint32_t Quadlets>
void UnpackBlocks(const BufferDescriptor& buffer, uint32_t* const* arrays) {
  uint32_t* const* out = arrays;
  uint32_t n = 0;
  for (uint32_t c = 0; c < buffer.mChunks; ++c) {
    const uint8_t* block = buffer.mChunkData[c];
    for (const uint32_t end = n + buffer.mChunkFrames[c]; n != end; ++n, block += 4 * Quadlets) {
      for (uint32_t k = 0; k < Quadlets; ++k) out[k][n] = LoadWire(block + 4 * k);
    }
  }
}

template <uint32_t Quadlets>
void PackBlocks(const BufferDescriptor& buffer, const uint32_t* const* arrays) {
  if constexpr (Quadlets > 0) {
    uint32_t n = 0;
    for (uint32_t c = 0; c < buffer.mChunks; ++c) {
      uint8_t* block = buffer.mChunkData[c];
      for (const uint32_t end = n + buffer.mChunkFrames[c]; n != end; ++n, block += 4 * Quadlets) {
        for (uint32_t k = 0; k < Quadlets; ++k) StoreWire(block + 4 * k, arrays[k][n]);
      }
    }
  }
}

template <uint32_t... Channels>
constexpr InputConverter kInputConverters[] = {UnpackBlocks<Channels + 2>...};

template <uint32_t... Channels>
constexpr OutputConverter kOutputConverters[] = {PackBlocks<Channels>...};

template <uint32_t... Channels>
constexpr InputConverter InputAt(uint32_t channels, std::integer_sequence<uint32_t, Channels...>) {
  return kInputConverters<Channels...>[channels];
}

template <uint32_t... Channels>
constexpr OutputConverter OutputAt(uint32_t channels, std::integer_sequence<uint32_t, Channels...>) {
  return kOutputConverters<Channels...>[channels];
}

using AllWidths = std::make_integer_sequence<uint32_t, kMaxStreamChannels + 1>;

uint32_t gScratch[kChannelArrayEntries];
const uint32_t gSilence[kChannelArrayEntries] = {};

template <uint32_t... I>
constexpr auto SilentTable(std::integer_sequence<uint32_t, I...>) {
  return std::array<const uint32_t*, sizeof...(I)>{((void)I, gSilence)...};
}

}  // namespace

InputConverter SelectInputConverter(uint32_t channels) {
  return InputAt(channels <= kMaxStreamChannels ? channels : kMaxStreamChannels, AllWidths{});
}

OutputConverter SelectOutputConverter(uint32_t channels) {
  return OutputAt(channels <= kMaxStreamChannels ? channels : kMaxStreamChannels, AllWidths{});
}

uint32_t* ConverterScratch() { return gScratch; }

const uint32_t* const* SilentOutputArrays() {
  static constexpr auto kTable = SilentTable(std::make_integer_sequence<uint32_t, kOutputArrays>{});
  return kTable.data();
}
