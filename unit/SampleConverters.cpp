#include "unit/SampleConverters.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include <cpuid.h>
#include <tmmintrin.h>

// These routines run at DISPATCH_LEVEL, where the 256- and 512-bit register state is not saved:
// the compiler must not be free to use it here, even when vectorising on its own.
#if defined(__AVX__)
#error "the sample converters must be built without AVX"
#endif

namespace {

inline uint32_t LoadWire(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap32(v);
}

inline void StoreWire(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof v);
}

// One block, every quadlet written out: the block width is a constant of each routine, so there
// is no loop and no branch per quadlet.
template <uint32_t Quadlets>
[[gnu::always_inline]] inline void UnpackOne(const uint8_t* block, uint32_t* const* out, uint32_t n) {
  [&]<uint32_t... K>(std::integer_sequence<uint32_t, K...>) {
    ((out[K][n] = LoadWire(block + 4 * K)), ...);
  }(std::make_integer_sequence<uint32_t, Quadlets>{});
}

template <uint32_t Quadlets>
[[gnu::always_inline]] inline void PackOne(uint8_t* block, const uint32_t* const* in, uint32_t n) {
  [&]<uint32_t... K>(std::integer_sequence<uint32_t, K...>) {
    (StoreWire(block + 4 * K, in[K][n]), ...);
  }(std::make_integer_sequence<uint32_t, Quadlets>{});
}

// The scalar path. The array table is copied first: its own copy cannot be changed by the
// stores, so the compiler keeps what it can in registers.
template <uint32_t Quadlets>
void UnpackBlocks(const BufferDescriptor& buffer, uint32_t* const* arrays) {
  uint32_t* out[Quadlets];
  std::copy(arrays, arrays + Quadlets, out);
  uint32_t n = 0;
  for (uint32_t c = 0; c < buffer.mChunks; ++c) {
    const uint8_t* block = buffer.mChunkData[c];
    for (const uint32_t end = n + buffer.mChunkFrames[c]; n != end; ++n, block += 4 * Quadlets) {
      UnpackOne<Quadlets>(block, out, n);
    }
  }
}

template <uint32_t Quadlets>
void PackBlocks(const BufferDescriptor& buffer, const uint32_t* const* arrays) {
  if constexpr (Quadlets > 0) {
    const uint32_t* in[Quadlets];
    std::copy(arrays, arrays + Quadlets, in);
    uint32_t n = 0;
    for (uint32_t c = 0; c < buffer.mChunks; ++c) {
      uint8_t* block = buffer.mChunkData[c];
      for (const uint32_t end = n + buffer.mChunkFrames[c]; n != end; ++n, block += 4 * Quadlets) {
        PackOne<Quadlets>(block, in, n);
      }
    }
  }
}

// The vector path. Four consecutive blocks are four rows of quadlets; four columns of them,
// transposed in registers, are four consecutive entries of four arrays, so each array takes one
// 16-byte store per four blocks instead of four 4-byte ones. A width that leaves two columns over
// ends with a pair of them; one that leaves one or three ends with a group overlapping the one
// before, which writes the same bits again. The arrays are read from the caller's table at each
// use: keeping 20 row addresses at hand costs more than reloading one per store.

[[gnu::target("ssse3"), gnu::always_inline]] inline __m128i SwapQuadlets(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
}

[[gnu::target("ssse3"), gnu::always_inline]] inline __m128i Load(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i_u*>(p));
}

[[gnu::target("ssse3"), gnu::always_inline]] inline void Store(void* p, __m128i v) {
  _mm_storeu_si128(static_cast<__m128i_u*>(p), v);
}

[[gnu::target("ssse3"), gnu::always_inline]] inline __m128i LoadLow(const void* p) {
  return _mm_loadl_epi64(static_cast<const __m128i_u*>(p));
}

[[gnu::target("ssse3"), gnu::always_inline]] inline void StoreLow(void* p, __m128i v) {
  _mm_storel_epi64(static_cast<__m128i_u*>(p), v);
}

// The upper eight bytes go out as they are, with no shuffle to bring them down first.
[[gnu::target("ssse3"), gnu::always_inline]] inline void StoreHigh(void* p, __m128i v) {
  _mm_storeh_pi(static_cast<__m64*>(p), _mm_castsi128_ps(v));
}

// Row i of the result holds quadlet i of every input row.
[[gnu::target("ssse3"), gnu::always_inline]] inline void Transpose(__m128i& r0, __m128i& r1, __m128i& r2, __m128i& r3) {
  const __m128i t0 = _mm_unpacklo_epi32(r0, r1);
  const __m128i t1 = _mm_unpacklo_epi32(r2, r3);
  const __m128i t2 = _mm_unpackhi_epi32(r0, r1);
  const __m128i t3 = _mm_unpackhi_epi32(r2, r3);
  r0 = _mm_unpacklo_epi64(t0, t1);
  r1 = _mm_unpackhi_epi64(t0, t1);
  r2 = _mm_unpacklo_epi64(t2, t3);
  r3 = _mm_unpackhi_epi64(t2, t3);
}

template <uint32_t Quadlets>
struct UnpackGroups {
  // The packets are read: a long buffer's next packet is fetched while this one is converted.
  static constexpr bool kPrefetch = true;
  uint32_t* const* out;

  [[gnu::target("ssse3"), gnu::always_inline]] void Columns(uint8_t* const* blocks, uint32_t k, uint32_t n) const {
    __m128i r0 = SwapQuadlets(Load(blocks[0] + 4 * k));
    __m128i r1 = SwapQuadlets(Load(blocks[1] + 4 * k));
    __m128i r2 = SwapQuadlets(Load(blocks[2] + 4 * k));
    __m128i r3 = SwapQuadlets(Load(blocks[3] + 4 * k));
    Transpose(r0, r1, r2, r3);
    Store(out[k] + n, r0);
    Store(out[k + 1] + n, r1);
    Store(out[k + 2] + n, r2);
    Store(out[k + 3] + n, r3);
  }
  [[gnu::target("ssse3"), gnu::always_inline]] void Pairs(uint8_t* const* blocks, uint32_t k, uint32_t n) const {
    const __m128i t0 = _mm_unpacklo_epi32(LoadLow(blocks[0] + 4 * k), LoadLow(blocks[1] + 4 * k));
    const __m128i t1 = _mm_unpacklo_epi32(LoadLow(blocks[2] + 4 * k), LoadLow(blocks[3] + 4 * k));
    Store(out[k] + n, SwapQuadlets(_mm_unpacklo_epi64(t0, t1)));
    Store(out[k + 1] + n, SwapQuadlets(_mm_unpackhi_epi64(t0, t1)));
  }
  [[gnu::target("ssse3"), gnu::always_inline]] void Four(uint8_t* const* blocks, uint32_t n) const {
    for (uint32_t k = 0; k + 4 <= Quadlets; k += 4) Columns(blocks, k, n);
    if constexpr (Quadlets % 4 == 2) {
      Pairs(blocks, Quadlets - 2, n);
    } else if constexpr (Quadlets % 4 != 0) {
      Columns(blocks, Quadlets - 4, n);
    }
  }
  [[gnu::always_inline]] void One(const uint8_t* block, uint32_t n) const { UnpackOne<Quadlets>(block, out, n); }
};

template <uint32_t Quadlets>
struct PackGroups {
  // The packets are written, and the rows read in order: nothing to fetch ahead.
  static constexpr bool kPrefetch = false;
  const uint32_t* const* in;

  [[gnu::target("ssse3"), gnu::always_inline]] void Columns(uint8_t* const* blocks, uint32_t k, uint32_t n) const {
    __m128i r0 = SwapQuadlets(Load(in[k] + n));
    __m128i r1 = SwapQuadlets(Load(in[k + 1] + n));
    __m128i r2 = SwapQuadlets(Load(in[k + 2] + n));
    __m128i r3 = SwapQuadlets(Load(in[k + 3] + n));
    Transpose(r0, r1, r2, r3);
    Store(blocks[0] + 4 * k, r0);
    Store(blocks[1] + 4 * k, r1);
    Store(blocks[2] + 4 * k, r2);
    Store(blocks[3] + 4 * k, r3);
  }
  [[gnu::target("ssse3"), gnu::always_inline]] void Pairs(uint8_t* const* blocks, uint32_t k, uint32_t n) const {
    const __m128i a = SwapQuadlets(Load(in[k] + n));
    const __m128i b = SwapQuadlets(Load(in[k + 1] + n));
    const __m128i low = _mm_unpacklo_epi32(a, b);
    const __m128i high = _mm_unpackhi_epi32(a, b);
    StoreLow(blocks[0] + 4 * k, low);
    StoreHigh(blocks[1] + 4 * k, low);
    StoreLow(blocks[2] + 4 * k, high);
    StoreHigh(blocks[3] + 4 * k, high);
  }
  [[gnu::target("ssse3"), gnu::always_inline]] void Four(uint8_t* const* blocks, uint32_t n) const {
    for (uint32_t k = 0; k + 4 <= Quadlets; k += 4) Columns(blocks, k, n);
    if constexpr (Quadlets % 4 == 2) {
      Pairs(blocks, Quadlets - 2, n);
    } else if constexpr (Quadlets % 4 != 0) {
      Columns(blocks, Quadlets - 4, n);
    }
  }
  // Eight blocks in a row, as the long packets of the high rates hold: each row address serves two
  // groups. Reading the records does not gain from this; writing them does.
  [[gnu::target("ssse3"), gnu::always_inline]] void EightColumns(uint8_t* block, uint32_t k, uint32_t n) const {
    constexpr uint32_t kBlockBytes = 4 * Quadlets;
    const uint32_t* i0 = in[k] + n;
    const uint32_t* i1 = in[k + 1] + n;
    const uint32_t* i2 = in[k + 2] + n;
    const uint32_t* i3 = in[k + 3] + n;
    __m128i r0 = SwapQuadlets(Load(i0));
    __m128i r1 = SwapQuadlets(Load(i1));
    __m128i r2 = SwapQuadlets(Load(i2));
    __m128i r3 = SwapQuadlets(Load(i3));
    __m128i r4 = SwapQuadlets(Load(i0 + 4));
    __m128i r5 = SwapQuadlets(Load(i1 + 4));
    __m128i r6 = SwapQuadlets(Load(i2 + 4));
    __m128i r7 = SwapQuadlets(Load(i3 + 4));
    Transpose(r0, r1, r2, r3);
    Transpose(r4, r5, r6, r7);
    Store(block + 4 * k, r0);
    Store(block + kBlockBytes + 4 * k, r1);
    Store(block + 2 * kBlockBytes + 4 * k, r2);
    Store(block + 3 * kBlockBytes + 4 * k, r3);
    Store(block + 4 * kBlockBytes + 4 * k, r4);
    Store(block + 5 * kBlockBytes + 4 * k, r5);
    Store(block + 6 * kBlockBytes + 4 * k, r6);
    Store(block + 7 * kBlockBytes + 4 * k, r7);
  }
  [[gnu::target("ssse3"), gnu::always_inline]] void Eight(uint8_t* block, uint32_t n) const {
    constexpr uint32_t kBlockBytes = 4 * Quadlets;
    for (uint32_t k = 0; k + 4 <= Quadlets; k += 4) EightColumns(block, k, n);
    if constexpr (Quadlets % 4 == 2) {
      uint8_t* const a[4] = {block, block + kBlockBytes, block + 2 * kBlockBytes, block + 3 * kBlockBytes};
      uint8_t* const b[4] = {block + 4 * kBlockBytes, block + 5 * kBlockBytes, block + 6 * kBlockBytes, block + 7 * kBlockBytes};
      Pairs(a, Quadlets - 2, n);
      Pairs(b, Quadlets - 2, n + 4);
    } else if constexpr (Quadlets % 4 != 0) {
      EightColumns(block, Quadlets - 4, n);
    }
  }
  [[gnu::always_inline]] void One(uint8_t* block, uint32_t n) const { PackOne<Quadlets>(block, in, n); }
};

constexpr uint32_t kLineBytes = 64;
// From about this many packets a buffer's blocks no longer sit in the nearest cache. They are
// fetched two packets ahead: a 44.1 kHz packet is converted sooner than a far cache answers.
constexpr uint32_t kPrefetchChunks = 64;
constexpr uint32_t kPrefetchAhead = 2;

// Hands the blocks of a buffer to the groups four at a time, in order. A group may span two
// chunks (a packet holds 5 or 6 blocks at 44.1 kHz): its lanes are the blocks the chunks before
// left over and the first blocks of this one, handed over as values, so the group is not gathered
// through memory block by block. Only a chunk too short to finish such a group goes block by
// block, and only the last one to three blocks of the buffer go one by one. Groups that take
// eight blocks at once get them wherever a chunk holds that many in a row.
template <uint32_t Quadlets, typename Groups>
[[gnu::target("ssse3"), gnu::always_inline]] inline void WalkInFours(const BufferDescriptor& buffer, const Groups& groups) {
  constexpr uint32_t kBlockBytes = 4 * Quadlets;
  uint8_t* group[4] = {};
  const bool prefetch = Groups::kPrefetch && buffer.mChunks >= kPrefetchChunks;
  uint32_t pending = 0;
  uint32_t n = 0;
  for (uint32_t c = 0; c < buffer.mChunks; ++c) {
    uint8_t* block = buffer.mChunkData[c];
    uint32_t left = buffer.mChunkFrames[c];
    if (prefetch && c + kPrefetchAhead < buffer.mChunks) {
      const uint8_t* next = buffer.mChunkData[c + kPrefetchAhead];
      const uint32_t bytes = buffer.mChunkFrames[c + kPrefetchAhead] * kBlockBytes;
      for (uint32_t b = 0; b < bytes; b += kLineBytes) _mm_prefetch(reinterpret_cast<const char*>(next + b), _MM_HINT_T0);
    }
    if (pending != 0) {
      const uint32_t wanted = 4 - pending;
      if (left < wanted) {
        for (; left != 0; --left, block += kBlockBytes) group[pending++] = block;
        continue;
      }
      uint8_t* const lanes[4] = {
          group[0],
          pending >= 2 ? group[1] : block,
          pending >= 3 ? group[2] : block + (2 - pending) * kBlockBytes,
          block + (3 - pending) * kBlockBytes,
      };
      groups.Four(lanes, n);
      n += 4;
      block += wanted * kBlockBytes;
      left -= wanted;
      pending = 0;
    }
    if constexpr (requires { groups.Eight(block, n); }) {
      for (; left >= 8; left -= 8, block += 8 * kBlockBytes, n += 8) groups.Eight(block, n);
    }
    for (; left >= 4; left -= 4, block += 4 * kBlockBytes, n += 4) {
      uint8_t* const run[4] = {block, block + kBlockBytes, block + 2 * kBlockBytes, block + 3 * kBlockBytes};
      groups.Four(run, n);
    }
    // What is left over, none to three blocks, is noted without a loop whose count changes from
    // packet to packet.
    group[0] = block;
    group[1] = block + kBlockBytes;
    group[2] = block + 2 * kBlockBytes;
    pending = left;
  }
  for (uint32_t i = 0; i < pending; ++i) groups.One(group[i], n + i);
}

template <uint32_t Quadlets>
[[gnu::target("ssse3")]] void UnpackBlocksSsse3(const BufferDescriptor& buffer, uint32_t* const* arrays) {
  const UnpackGroups<Quadlets> groups{arrays};
  WalkInFours<Quadlets>(buffer, groups);
}

template <uint32_t Quadlets>
[[gnu::target("ssse3")]] void PackBlocksSsse3(const BufferDescriptor& buffer, const uint32_t* const* arrays) {
  const PackGroups<Quadlets> groups{arrays};
  WalkInFours<Quadlets>(buffer, groups);
}

// Blocks narrower than a group stay on the scalar routines.
template <uint32_t Quadlets>
constexpr InputConverter VectorInput() {
  if constexpr (Quadlets >= 4) {
    return UnpackBlocksSsse3<Quadlets>;
  } else {
    return UnpackBlocks<Quadlets>;
  }
}

template <uint32_t Quadlets>
constexpr OutputConverter VectorOutput() {
  if constexpr (Quadlets >= 4) {
    return PackBlocksSsse3<Quadlets>;
  } else {
    return PackBlocks<Quadlets>;
  }
}

template <uint32_t... Channels>
constexpr InputConverter InputAt(uint32_t channels, ConverterPath path, std::integer_sequence<uint32_t, Channels...>) {
  constexpr InputConverter kScalar[] = {UnpackBlocks<Channels + 2>...};
  constexpr InputConverter kVector[] = {VectorInput<Channels + 2>()...};
  return path == ConverterPath::Ssse3 ? kVector[channels] : kScalar[channels];
}

template <uint32_t... Channels>
constexpr OutputConverter OutputAt(uint32_t channels, ConverterPath path, std::integer_sequence<uint32_t, Channels...>) {
  constexpr OutputConverter kScalar[] = {PackBlocks<Channels>...};
  constexpr OutputConverter kVector[] = {VectorOutput<Channels>()...};
  return path == ConverterPath::Ssse3 ? kVector[channels] : kScalar[channels];
}

using AllWidths = std::make_integer_sequence<uint32_t, kMaxStreamChannels + 1>;

constexpr uint32_t Widest(uint32_t channels) { return channels <= kMaxStreamChannels ? channels : kMaxStreamChannels; }

uint32_t gScratch[kChannelArrayEntries];
const uint32_t gSilence[kChannelArrayEntries] = {};

template <uint32_t... I>
constexpr auto SilentTable(std::integer_sequence<uint32_t, I...>) {
  return std::array<const uint32_t*, sizeof...(I)>{((void)I, gSilence)...};
}

}  // namespace

bool ConverterPathRuns(ConverterPath path) {
  if (path == ConverterPath::Scalar) return true;
  // The processor's own answer (CPUID leaf 1, ECX bit 9), with no compiler runtime to ask.
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ecx & bit_SSSE3) != 0;
}

ConverterPath BestConverterPath() {
  return ConverterPathRuns(ConverterPath::Ssse3) ? ConverterPath::Ssse3 : ConverterPath::Scalar;
}

InputConverter SelectInputConverter(uint32_t channels) { return SelectInputConverter(channels, BestConverterPath()); }

OutputConverter SelectOutputConverter(uint32_t channels) {
  return SelectOutputConverter(channels, BestConverterPath());
}

InputConverter SelectInputConverter(uint32_t channels, ConverterPath path) {
  return InputAt(Widest(channels), path, AllWidths{});
}

OutputConverter SelectOutputConverter(uint32_t channels, ConverterPath path) {
  return OutputAt(Widest(channels), path, AllWidths{});
}

uint32_t* ConverterScratch() { return gScratch; }

const uint32_t* const* SilentOutputArrays() {
  static constexpr auto kTable = SilentTable(std::make_integer_sequence<uint32_t, kOutputArrays>{});
  return kTable.data();
}
