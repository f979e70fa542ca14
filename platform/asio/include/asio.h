// The ASIO driver interface's types and constants, as drivers and hosts share them: ASIO's `long`
// is 32 bits wide on every Windows, and its records are laid out with 4-byte packing.
#pragma once

#include <cstddef>
#include <cstdint>

using ASIOLong = int32_t;
using ASIOBool = ASIOLong;
using ASIOError = ASIOLong;
using ASIOSampleRate = double;
using ASIOSampleType = ASIOLong;

constexpr ASIOBool ASIOFalse = 0;
constexpr ASIOBool ASIOTrue = 1;

constexpr ASIOError ASE_OK = 0;
constexpr ASIOError ASE_SUCCESS = 0x3F4847A0;
constexpr ASIOError ASE_NotPresent = -1000;
constexpr ASIOError ASE_HWMalfunction = -999;
constexpr ASIOError ASE_InvalidParameter = -998;
constexpr ASIOError ASE_InvalidMode = -997;
constexpr ASIOError ASE_SPNotAdvancing = -996;
constexpr ASIOError ASE_NoClock = -995;
constexpr ASIOError ASE_NoMemory = -994;

constexpr ASIOSampleType ASIOSTInt16LSB = 16;
constexpr ASIOSampleType ASIOSTInt24LSB = 17;
constexpr ASIOSampleType ASIOSTInt32LSB = 18;

// Selectors of the host's asioMessage callback.
constexpr ASIOLong kAsioSelectorSupported = 1;
constexpr ASIOLong kAsioEngineVersion = 2;
constexpr ASIOLong kAsioResetRequest = 3;
constexpr ASIOLong kAsioBufferSizeChange = 4;
constexpr ASIOLong kAsioResyncRequest = 5;
constexpr ASIOLong kAsioLatenciesChanged = 6;
constexpr ASIOLong kAsioSupportsTimeInfo = 7;
constexpr ASIOLong kAsioSupportsTimeCode = 8;

// Selectors of the driver's future call.
constexpr ASIOLong kAsioEnableTimeCodeRead = 1;
constexpr ASIOLong kAsioDisableTimeCodeRead = 2;
constexpr ASIOLong kAsioSetInputMonitor = 3;
constexpr ASIOLong kAsioTransport = 4;
constexpr ASIOLong kAsioSetInputGain = 5;
constexpr ASIOLong kAsioGetInputMeter = 6;
constexpr ASIOLong kAsioSetOutputGain = 7;
constexpr ASIOLong kAsioGetOutputMeter = 8;
constexpr ASIOLong kAsioCanInputMonitor = 9;
constexpr ASIOLong kAsioCanTimeInfo = 10;
constexpr ASIOLong kAsioCanTimeCode = 11;

// Flags of the time record's time info.
constexpr uint32_t kSystemTimeValid = 1;
constexpr uint32_t kSamplePositionValid = 2;
constexpr uint32_t kSampleRateValid = 4;
constexpr uint32_t kSpeedValid = 8;
constexpr uint32_t kSampleRateChanged = 0x10;
constexpr uint32_t kClockSourceChanged = 0x20;

#pragma pack(push, 4)

// A 64-bit count as two 32-bit halves.
struct ASIOSamples {
  uint32_t hi;
  uint32_t lo;
};
struct ASIOTimeStamp {
  uint32_t hi;
  uint32_t lo;
};
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8 && offsetof(ASIOSamples, lo) == 4);

struct ASIOClockSource {
  ASIOLong index;
  ASIOLong associatedChannel;
  ASIOLong associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};
static_assert(sizeof(ASIOClockSource) == 48 && offsetof(ASIOClockSource, name) == 16);

struct ASIOChannelInfo {
  ASIOLong channel;
  ASIOBool isInput;
  ASIOBool isActive;
  ASIOLong channelGroup;
  ASIOSampleType type;
  char name[32];
};
static_assert(sizeof(ASIOChannelInfo) == 52 && offsetof(ASIOChannelInfo, type) == 16 && offsetof(ASIOChannelInfo, name) == 20);

struct ASIOBufferInfo {
  ASIOBool isInput;
  ASIOLong channelNum;
  void* buffers[2];
};
static_assert(sizeof(ASIOBufferInfo) == 24 && offsetof(ASIOBufferInfo, buffers) == 8);

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  uint32_t flags;
  char reserved[12];
};
static_assert(sizeof(AsioTimeInfo) == 48 && offsetof(AsioTimeInfo, sampleRate) == 24 && offsetof(AsioTimeInfo, flags) == 32);

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  uint32_t flags;
  char future[64];
};
static_assert(sizeof(ASIOTimeCode) == 84 && offsetof(ASIOTimeCode, flags) == 16);

struct ASIOTime {
  ASIOLong reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
};
static_assert(sizeof(ASIOTime) == 148 && offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64);

struct ASIOCallbacks {
  void (*bufferSwitch)(ASIOLong doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  ASIOLong (*asioMessage)(ASIOLong selector, ASIOLong value, void* message, double* opt);
  ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, ASIOLong doubleBufferIndex, ASIOBool directProcess);
};
static_assert(sizeof(ASIOCallbacks) == 32 && offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 24);

struct ASIOInputMonitor {
  ASIOLong input;  // -1: all inputs
  ASIOLong output;
  ASIOLong gain;
  ASIOBool state;
  ASIOLong pan;
};
static_assert(sizeof(ASIOInputMonitor) == 20 && offsetof(ASIOInputMonitor, pan) == 16);

#pragma pack(pop)
