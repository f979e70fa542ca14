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
// block: array 0 the index, arrays 1 to n the channels, array n + 1 the value. Arrays are either
// distinct or the very same array (the scratch), never overlapping at an offset.
using InputConverter = void (*)(const BufferDescriptor& buffer, uint32_t* const* arrays);
// Fills every data block of a playback buffer from the arrays, one quadlet per channel.
using OutputConverter = void (*)(const BufferDescriptor& buffer, const uint32_t* const* arrays);

// How the routines do the work; every path writes the same bits to the same places. The vector
// path takes four blocks at a time in 128-bit registers and needs SSSE3; nothing wider is used,
// since the routines run at DISPATCH_LEVEL, where only that state is preserved.
enum class ConverterPath : uint32_t { Scalar, Ssse3 };

// The fastest path this processor runs.
ConverterPath BestConverterPath();
bool ConverterPathRuns(ConverterPath path);

// The routine for a stream of that many channels (0-18), on the fastest path or on the one named
// (which must run here).
InputConverter SelectInputConverter(uint32_t channels);
OutputConverter SelectOutputConverter(uint32_t channels);
InputConverter SelectInputConverter(uint32_t channels, ConverterPath path);
OutputConverter SelectOutputConverter(uint32_t channels, ConverterPath path);

// Where record channels without a client go: a driver-wide array that is only ever written.
uint32_t* ConverterScratch();
// What playback channels without a client play: kOutputArrays pointers to one array of zeros.
const uint32_t* const* SilentOutputArrays();
