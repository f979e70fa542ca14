// Control requests as a client sends them: any request number, any input and output length, one
// buffer for both as the buffered I/O control transport gives it (as long as the longer of the
// two, none when both are 0), to the main unit or an expansion unit, request after request. A
// request never writes or reports more than its output length.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "tests/unit/UnitDouble.h"

namespace {

// A main unit and an expansion unit sharing a settings store, plugged in once and put back
// before every input.
struct Units {
  SettingsStore mStore;
  UnitDouble mMain{&mStore};
  UnitDouble mExpansion{&mStore};
  std::function<void()> mRestoreMain;
  std::function<void()> mRestoreMainAndBuffers;
  std::function<void()> mRestoreExpansion;
  // Only request 5 starts streams, which write the stream buffers; only then are they put back.
  bool mBuffersTouched = false;

  Units() {
    mMain.LookLikeMainUnit();
    mExpansion.LookLikeExpansionUnit(0x1234);
    if (mMain.HandlePlugIn() != 0 || mExpansion.HandlePlugIn() != 0) std::abort();
    mRestoreMain = mMain.Checkpoint(UnitDouble::StreamBuffers::Untouched);
    mRestoreMainAndBuffers = mMain.Checkpoint();
    mRestoreExpansion = mExpansion.Checkpoint();
  }

  void Restore() {
    (mBuffersTouched ? mRestoreMainAndBuffers : mRestoreMain)();
    mRestoreExpansion();
    mBuffersTouched = false;
  }
};

constexpr uint32_t kSetStreamMask = 5;

constexpr size_t kHeader = 5;
constexpr uint8_t kCanary = 0xA5;

}  // namespace

// Requests one after the other, each a 5-byte header and its input bytes: the unit and request
// (bit 7 the expansion unit; bits 0-6 the request number below 100, any other value takes the
// number from the next four bytes, little-endian), the input and output lengths (16 bits each,
// little-endian), then the input bytes (fewer when the input ends; the rest of the buffer is a
// fixed pattern).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Units* units = new Units;
  units->Restore();
  size_t i = 0;
  while (size - i >= kHeader) {
    const uint8_t* header = data + i;
    i += kHeader;
    UnitDouble& unit = header[0] & 0x80 ? units->mExpansion : units->mMain;
    uint32_t request = header[0] & 0x7F;
    if (request >= 100) {
      if (size - i < 4) break;
      std::memcpy(&request, data + i, sizeof request);
      i += 4;
    }
    const uint32_t inputLength = uint32_t{header[1]} | uint32_t{header[2]} << 8;
    const uint32_t outputLength = uint32_t{header[3]} | uint32_t{header[4]} << 8;
    const size_t bufferLength = std::max(inputLength, outputLength);
    // The buffer on the heap, exactly as long as the transport's, so a byte past it is caught.
    std::unique_ptr<uint8_t[]> buffer(bufferLength != 0 ? new uint8_t[bufferLength] : nullptr);
    if (buffer) std::memset(buffer.get(), kCanary, bufferLength);
    const size_t given = std::min<size_t>(inputLength, size - i);
    if (given != 0) std::memcpy(buffer.get(), data + i, given);
    i += given;
    if (request == kSetStreamMask) units->mBuffersTouched = true;
    uint32_t returned = 0xFFFFFFFF;
    const int32_t result = unit.HandleControlRequest(request, buffer.get(), inputLength, outputLength, &returned);
    if ((result != 0 && result != 99) || returned > outputLength) std::abort();
  }
  return 0;
}
