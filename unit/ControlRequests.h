#pragma once

#include <cstddef>
#include <cstdint>

// Control code of request n: FILE_DEVICE_UNKNOWN, function 0x800 + n, METHOD_BUFFERED, any access.
constexpr uint32_t QX531ControlCode(uint32_t n) { return 0x220000u | ((0x800u + n) << 2); }
constexpr uint32_t QX531RequestNumber(uint32_t code) { return ((code >> 2) & 0xFFFu) - 0x800u; }

// Set by the driver in the request number for callers that are 32-bit processes.
inline constexpr uint32_t kQX531Caller32Bit = 0x2000;

inline constexpr uint32_t IOCTL_QX531_READ_LOG = QX531ControlCode(0);
inline constexpr uint32_t IOCTL_QX531_GET_CHANGE_COUNT = QX531ControlCode(1);
inline constexpr uint32_t IOCTL_QX531_GET_PREFERENCES = QX531ControlCode(2);
inline constexpr uint32_t IOCTL_QX531_GET_SHARED_STATE = QX531ControlCode(3);
inline constexpr uint32_t IOCTL_QX531_WRITE_LOG = QX531ControlCode(4);
inline constexpr uint32_t IOCTL_QX531_SET_STREAM_MASK = QX531ControlCode(5);
inline constexpr uint32_t IOCTL_QX531_GET_STREAM_MASK = QX531ControlCode(6);
inline constexpr uint32_t IOCTL_QX531_WRITE_BLOCK_4000 = QX531ControlCode(7);
inline constexpr uint32_t IOCTL_QX531_WRITE_REGISTER = QX531ControlCode(8);
inline constexpr uint32_t IOCTL_QX531_READ_REGISTER = QX531ControlCode(9);
inline constexpr uint32_t IOCTL_QX531_WRITE_BLOCK_8000 = QX531ControlCode(10);
inline constexpr uint32_t IOCTL_QX531_SET_PREFERENCE = QX531ControlCode(11);
inline constexpr uint32_t IOCTL_QX531_SET_PANEL_ATTACHED = QX531ControlCode(12);
inline constexpr uint32_t IOCTL_QX531_SET_INPUT_MONITOR = QX531ControlCode(13);
inline constexpr uint32_t IOCTL_QX531_GET_ACTIVE_LCD_COUNT = QX531ControlCode(14);
inline constexpr uint32_t IOCTL_QX531_GET_ACTIVE_LCD_TEXT = QX531ControlCode(15);
inline constexpr uint32_t IOCTL_QX531_SET_PANEL_REQUEST = QX531ControlCode(16);
inline constexpr uint32_t IOCTL_QX531_GET_UNIT_LIST_COUNT = QX531ControlCode(17);
inline constexpr uint32_t IOCTL_QX531_GET_UNIT_RECORDS = QX531ControlCode(18);
inline constexpr uint32_t IOCTL_QX531_SET_UNIT_RECORD = QX531ControlCode(19);
inline constexpr uint32_t IOCTL_QX531_SET_UNIT_LAMP = QX531ControlCode(20);
inline constexpr uint32_t IOCTL_QX531_SWAP_UNIT_RECORDS = QX531ControlCode(21);
inline constexpr uint32_t IOCTL_QX531_SET_UNIT_SWITCH = QX531ControlCode(22);
inline constexpr uint32_t IOCTL_QX531_GET_LCD_COUNT = QX531ControlCode(23);
inline constexpr uint32_t IOCTL_QX531_GET_LCD_TEXT = QX531ControlCode(24);
inline constexpr uint32_t IOCTL_QX531_GET_ACTIVE_LCD_BLOCK = QX531ControlCode(25);
inline constexpr uint32_t IOCTL_QX531_GET_LCD_BLOCK = QX531ControlCode(26);

static_assert(IOCTL_QX531_READ_LOG == 0x222000);
static_assert(IOCTL_QX531_SET_PREFERENCE == 0x22202C);
static_assert(IOCTL_QX531_GET_LCD_BLOCK == 0x222068);
static_assert(QX531RequestNumber(IOCTL_QX531_GET_LCD_BLOCK) == 26);

// Request results.
inline constexpr int32_t kQX531Success = 0;
inline constexpr int32_t kQX531Failure = 99;

// Input records of the requests that carry one.
struct SetPreferenceRequest {
  uint32_t mMagic;
  uint32_t mVersion;
  uint32_t mParameterId;
  uint32_t mValue;
};
static_assert(sizeof(SetPreferenceRequest) == 16);
static_assert(offsetof(SetPreferenceRequest, mParameterId) == 8);
static_assert(offsetof(SetPreferenceRequest, mValue) == 12);

struct WriteRegisterRequest {
  uint32_t mOffset;
  uint32_t mValue;
};
static_assert(sizeof(WriteRegisterRequest) == 8);
static_assert(offsetof(WriteRegisterRequest, mValue) == 4);

struct InputMonitorRequest {
  uint32_t mChannel;
  uint32_t mOn;
  uint32_t mGain;
  uint32_t mPan;
};
static_assert(sizeof(InputMonitorRequest) == 16);
static_assert(offsetof(InputMonitorRequest, mGain) == 8);
static_assert(offsetof(InputMonitorRequest, mPan) == 12);

struct UnitLampRequest {
  uint32_t mSerial;
  uint32_t mLampId;
  uint32_t mState;
};
static_assert(sizeof(UnitLampRequest) == 12);
static_assert(offsetof(UnitLampRequest, mState) == 8);

struct SwapUnitRecordsRequest {
  uint32_t mSerialA;
  uint32_t mSerialB;
};
static_assert(sizeof(SwapUnitRecordsRequest) == 8);
static_assert(offsetof(SwapUnitRecordsRequest, mSerialB) == 4);
