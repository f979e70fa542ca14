#pragma once

#include <cstdint>

// Offsets of the unit's registers from its register base on the bus.
inline constexpr uint32_t QX5310_REGISTER_VERSION = 0x000;  // 0x1xxxx: expansion unit
inline constexpr uint32_t QX5310_FPGA_VERSION = 0x004;
inline constexpr uint32_t QX5310_ARM_VERSION = 0x008;
inline constexpr uint32_t QX5310_HARDWARE_VERSION = 0x00C;  // bits 16-23 choose the surface layout
inline constexpr uint32_t QX5310_FLASH_LENGTH = 0x144;
inline constexpr uint32_t QX5310_FLASH_UNLOCK = 0x180;
inline constexpr uint32_t QX5310_FLASH_PARTITION = 0x184;
inline constexpr uint32_t QX5310_FLASH_COMMAND = 0x188;
inline constexpr uint32_t RECORD_ISOCHANNEL = 0x200;
inline constexpr uint32_t RECORD_ISOSPEED = 0x204;
inline constexpr uint32_t QX5310_RECORD_ENABLE = 0x208;
inline constexpr uint32_t PLAYBACK_ISOCHANNEL = 0x20C;
inline constexpr uint32_t QX5310_PLAYBACK_ENABLE = 0x210;
inline constexpr uint32_t QX5310_INPUT_MASK = 0x214;
inline constexpr uint32_t QX5310_OUTPUT_MASK = 0x218;
inline constexpr uint32_t QX5310_PACKET_PARAM = 0x21C;
inline constexpr uint32_t QX5310_STREAM_RESTART = 0x220;
inline constexpr uint32_t QX5310_RATE_CLOCK = 0x228;
inline constexpr uint32_t QX5310_CONTROL_BITS = 0x22C;
inline constexpr uint32_t QX5310_OVR_LEVEL = 0x230;
inline constexpr uint32_t QX5310_MIDI_NOTIFY_ENABLE = 0x300;
inline constexpr uint32_t QX5310_MIDI_NOTIFY_HI = 0x304;
inline constexpr uint32_t QX5310_MIDI_NOTIFY_LO = 0x308;
inline constexpr uint32_t QX5310_ASYNC_NOTIFY_ENABLE = 0x310;
inline constexpr uint32_t QX5310_ASYNC_NOTIFY_HI = 0x314;
inline constexpr uint32_t QX5310_ASYNC_NOTIFY_LO = 0x318;
inline constexpr uint32_t QX5310_FADER_MOTOR = 0x400;
inline constexpr uint32_t QX5310_LAMP = 0x404;
inline constexpr uint32_t QX5310_INPUT_MONITOR = 0x408;
inline constexpr uint32_t QX5310_PROGRAMMING_WORD = 0x410;
inline constexpr uint32_t QX5310_MIDI_OUT_WINDOW = 0x4000;
inline constexpr uint32_t QX5310_FLASH_DATA_WINDOW = 0x8000;
inline constexpr uint32_t QX5310_GUID_MSB = 0xF000040C;
inline constexpr uint32_t QX5310_GUID_LSB = 0xF0000410;  // an expansion unit's serial

// Command words of QX5310_CONTROL_BITS: bits 8-15 set switch bits 0-7, bits 16-23 clear them,
// bit 25 sets and bit 26 clears switch bit 24.
inline constexpr uint32_t kControlStreamingOff = 0x200000;
inline constexpr uint32_t kControlStreamingOn = 0x2000;

// Switch bits of QX5310_CONTROL_BITS as the unit reports them.
inline constexpr uint32_t kSwitchSpdifInOptical = 1u << 0;
inline constexpr uint32_t kSwitchCoaxCopiesAnalog = 1u << 1;
inline constexpr uint32_t kSwitchOpticalCopiesCoax = 1u << 2;
inline constexpr uint32_t kSwitchOpticalAnalog = 1u << 3;
inline constexpr uint32_t kSwitchMonitorWide = 1u << 4;
inline constexpr uint32_t kSwitchMasterFaderOnOutputs = 1u << 6;
inline constexpr uint32_t kSwitchOpticalInputs = 1u << 7;
inline constexpr uint32_t kSwitchMonitorSix = 1u << 24;

// Significant bits of QX5310_RATE_CLOCK: clock source in bits 0-2, the rate code in 0x8300.
inline constexpr uint32_t kRateClockClockBits = 0x7;
