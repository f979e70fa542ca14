// The ASIO driver's requests to the main unit and their records, as a 64-bit caller and as a
// 32-bit caller lays them out. Shared by the kernel driver and its user-mode clients.
#pragma once

#include <cstddef>
#include <cstdint>

#include "unit/ControlRequests.h"

inline constexpr uint32_t kQX531FirstAsioRequest = 256;
inline constexpr uint32_t kQX531LastAsioRequest = 266;

inline constexpr uint32_t IOCTL_QX531_ASIO_GET_CAPS = QX531ControlCode(256);
inline constexpr uint32_t IOCTL_QX531_ASIO_START = QX531ControlCode(257);
inline constexpr uint32_t IOCTL_QX531_ASIO_STOP = QX531ControlCode(258);
inline constexpr uint32_t IOCTL_QX531_ASIO_CREATE_BUFFERS = QX531ControlCode(259);
inline constexpr uint32_t IOCTL_QX531_ASIO_DISPOSE_BUFFERS = QX531ControlCode(260);
inline constexpr uint32_t IOCTL_QX531_ASIO_CLOSE = QX531ControlCode(261);
inline constexpr uint32_t IOCTL_QX531_ASIO_SET_CLOCK_SOURCE = QX531ControlCode(262);
inline constexpr uint32_t IOCTL_QX531_ASIO_GET_CLOCK_STATE = QX531ControlCode(263);
inline constexpr uint32_t IOCTL_QX531_ASIO_SET_SAMPLE_RATE = QX531ControlCode(264);
inline constexpr uint32_t IOCTL_QX531_ASIO_OUTPUT_READY = QX531ControlCode(265);
inline constexpr uint32_t IOCTL_QX531_ASIO_GET_INFO = QX531ControlCode(266);

static_assert(IOCTL_QX531_ASIO_GET_CAPS == 0x222400);
static_assert(IOCTL_QX531_ASIO_CREATE_BUFFERS == 0x22240C);
static_assert(IOCTL_QX531_ASIO_GET_INFO == 0x222428);

// The capability reply's first word, by which the host knows the driver.
inline constexpr uint32_t kAsioCapsMagic = 0x00061063;
inline constexpr uint32_t kAsioChannels = 18;
inline constexpr uint32_t kAsioSampleBits = 24;
// Room in the buffer-creation record for each channel list; the unit has 18 channels each way.
inline constexpr uint32_t kAsioListEntries = 34;
// Bytes of each channel buffer half: what one half of a channel may map at most.
inline constexpr uint32_t kAsioHalfBytes = 8192;

struct AsioCapsReply {
  uint32_t mMagic;
  uint32_t mBufferFrames;
  uint32_t mInputs;
  uint32_t mOutputs;
  uint32_t mSampleBits;
};
static_assert(sizeof(AsioCapsReply) == 20);
static_assert(offsetof(AsioCapsReply, mBufferFrames) == 4 && offsetof(AsioCapsReply, mSampleBits) == 16);

// Start: the caller's event handle in; the user-mode address of the buffer-index cell out.
struct AsioStartRequest64 {
  uint64_t mEvent;
};
static_assert(sizeof(AsioStartRequest64) == 8);
struct AsioStartRequest32 {
  uint32_t mEvent;
};
static_assert(sizeof(AsioStartRequest32) == 4);
struct AsioStartReply64 {
  uint64_t mIndexCell;
};
static_assert(sizeof(AsioStartReply64) == 8);
struct AsioStartReply32 {
  uint32_t mIndexCell;
};
static_assert(sizeof(AsioStartReply32) == 4);

struct AsioCreateBuffersRequest64 {
  uint32_t mSampleBits;  // 16 gives 2 bytes a sample, any other width 4
  uint32_t mFrames;      // per buffer half
  uint64_t mReserved;
  uint32_t mPlaybackCount;
  uint32_t mPlaybackChannels[kAsioListEntries];
  uint32_t mRecordCount;
  uint32_t mRecordChannels[kAsioListEntries];
};
static_assert(sizeof(AsioCreateBuffersRequest64) == 296);
static_assert(offsetof(AsioCreateBuffersRequest64, mPlaybackCount) == 16);
static_assert(offsetof(AsioCreateBuffersRequest64, mPlaybackChannels) == 20);
static_assert(offsetof(AsioCreateBuffersRequest64, mRecordCount) == 156);
static_assert(offsetof(AsioCreateBuffersRequest64, mRecordChannels) == 160);

struct AsioCreateBuffersRequest32 {
  uint32_t mSampleBits;
  uint32_t mFrames;
  uint32_t mReserved;
  uint32_t mPlaybackCount;
  uint32_t mPlaybackChannels[kAsioListEntries];
  uint32_t mRecordCount;
  uint32_t mRecordChannels[kAsioListEntries];
};
static_assert(sizeof(AsioCreateBuffersRequest32) == 292);
static_assert(offsetof(AsioCreateBuffersRequest32, mPlaybackCount) == 12);
static_assert(offsetof(AsioCreateBuffersRequest32, mPlaybackChannels) == 16);
static_assert(offsetof(AsioCreateBuffersRequest32, mRecordCount) == 152);
static_assert(offsetof(AsioCreateBuffersRequest32, mRecordChannels) == 156);

// The user-mode addresses of both halves of the k-th entry of each list.
struct AsioCreateBuffersReply64 {
  uint64_t mRecord[kAsioListEntries][2];
  uint64_t mPlayback[kAsioListEntries][2];
};
static_assert(sizeof(AsioCreateBuffersReply64) == 1088);
static_assert(offsetof(AsioCreateBuffersReply64, mPlayback) == 544);

struct AsioCreateBuffersReply32 {
  uint32_t mRecord[kAsioListEntries][2];
  uint32_t mPlayback[kAsioListEntries][2];
};
static_assert(sizeof(AsioCreateBuffersReply32) == 544);
static_assert(offsetof(AsioCreateBuffersReply32, mPlayback) == 272);

// Clock source codes: internal, word clock, S/PDIF, ADAT.
inline constexpr uint32_t kAsioClockInternal = 1;
inline constexpr uint32_t kAsioClockLast = 4;

struct AsioClockStateReply {
  uint32_t mClockSource;
  uint32_t mSampleRate;
  uint32_t mResetRequest;
};
static_assert(sizeof(AsioClockStateReply) == 12);
static_assert(offsetof(AsioClockStateReply, mResetRequest) == 8);

struct AsioInfoReply {
  uint32_t mWords[4];
};
static_assert(sizeof(AsioInfoReply) == 16);
inline constexpr AsioInfoReply kAsioInfo = {{102, 103, 44, 44}};
