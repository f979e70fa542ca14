#pragma once

#include <cstddef>
#include <cstdint>

// Layout of per-channel buffers that the stream path reads or writes every frame, such as the
// clients' channel buffers: a quadlet per channel and frame, one row per channel. Rows a multiple
// of 4 KiB apart fall into the same L1 cache sets and alias in the processor's store-to-load
// checks; with 36 rows touched per frame every completion then runs about three times slower.
//
// The rule: rows are a whole, odd number of cache lines apart, starting on a cache line. Two rows
// of one block are then a multiple of 4 KiB apart only when 64 or more rows lie between them, so
// every set of rows that one completion touches must lie within kMaxStaggeredRows consecutive
// rows. A buffer with two halves keeps both halves of a channel in the same row.

inline constexpr size_t kCacheLineBytes = 64;
inline constexpr size_t kAliasingStrideBytes = 4096;
inline constexpr uint32_t kMaxStaggeredRows = kAliasingStrideBytes / kCacheLineBytes;

// Distance between the starts of neighbouring rows of rowBytes each.
constexpr size_t ChannelRowPitch(size_t rowBytes) {
  const size_t lines = (rowBytes + kCacheLineBytes - 1) / kCacheLineBytes;
  return (lines | 1) * kCacheLineBytes;
}

// Where row n starts, from the cache-line-aligned start of its block.
constexpr size_t ChannelRowOffset(uint32_t row, size_t rowBytes) { return row * ChannelRowPitch(rowBytes); }

// Bytes of a block of that many rows.
constexpr size_t ChannelRowsBytes(uint32_t rows, size_t rowBytes) { return rows * ChannelRowPitch(rowBytes); }

// Where half h (0 or 1) of channel n starts in a block of double-buffered rows of halfBytes a
// half: the halves of one channel sit side by side in its row.
constexpr size_t ChannelHalfOffset(uint32_t row, uint32_t half, size_t halfBytes) {
  return ChannelRowOffset(row, 2 * halfBytes) + half * halfBytes;
}

// A client's buffers as the driver allocates them: 18 record and 18 playback channels of two
// halves of 2048 quadlets.
static_assert(ChannelRowPitch(2 * 8192) == 16384 + kCacheLineBytes);
static_assert(36 <= kMaxStaggeredRows);
