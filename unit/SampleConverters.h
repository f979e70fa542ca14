#pragma once

#include <cstdint>

#include "unit/BufferDescriptor.h"

inline constexpr uint32_t kMaxStreamChannels = 18;
// Input arrays: the status index, up to 18 channels, the status value.
inline constexpr uint32_t kInputArrays = kMaxStreamChannels + 2;
inline constexpr uint32_t kOutputArrays = kMaxStreamChannels + 2;
// Entries of one channel array: a buffer holds at most this many data blocks.
inline constexpr uint32_t kChannelArrayEntries = 2048;

// Splits every data block of a record buffer into the arrays, one host-order quadlet per array and
// block: array 0 the index, arrays 1 to n the channels, array n + 1 the value.
using InputConverter = void (*)(const BufferDescriptor& buffer, uint32_t* const* arrays);
// Fills every data block of a playback buffer from the arrays, one quadlet per channel.
using OutputConverter = void (*)(const BufferDescriptor& buffer, const uint32_t* const* arrays);

// The routine for a stream of that many channels (0-18).
InputConverter SelectInputConverter(uint32_t channels);
OutputConverter SelectOutputConverter(uint32_t channels);

// Where record channels without a client go: a driver-wide array that is only ever written.
uint32_t* ConverterScratch();
// What playback channels without a client play: kOutputArrays pointers to one array of zeros.
const uint32_t* const* SilentOutputArrays();
