// The user-mode side of the device-control fuzz target: a program that opens the first unit and
// sends it the controls an input describes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzhost {

// Controls one after the other, each a kind byte and its fields (16-bit values little-endian):
//   0: a raw control: a selector byte (below 200: ASIO request 256 + s % 11; below 240: request
//      s % 32; else a 32-bit code follows), input and output lengths (16 bits each, at most 4096),
//      then the input's bytes (zeros when the data ends);
//   1: start with the program's own event: input and output lengths as above;
//   2: buffer creation: sample bits, frames (16 bits), record count, playback count, then one byte
//      per channel, records first;
//   3: a pause of the given milliseconds (one byte) for the stream to run;
//   4: a second handle of the unit takes the next control (so another file object sends it).
// Returns 0; the process's end closes whatever the controls left open.
uint32_t RunControls(unsigned bits, const uint8_t* data, size_t size);

}  // namespace fuzzhost
