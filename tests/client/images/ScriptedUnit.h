// A unit driver for tests of the client library, answering the requests of its device interface
// from a table the test writes. Plain C++ types, shared by the driver image (built against
// <wdm.h>) and the tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scripted {

// The device interface class every unit registers: the kernel driver's.
inline constexpr unsigned char kInterfaceClass[16] = {0x46, 0x0C, 0x08, 0xF8, 0xDA, 0x1B, 0x20, 0x4A,
                                                      0x9D, 0x58, 0xD7, 0x8E, 0x62, 0x7C, 0x8F, 0xC5};

// Control codes of the test (device type 0x22, buffered, any access), from function 0xA00 up; the
// test opens the unit from kernel mode, which programs' open counts leave out.
inline constexpr uint32_t kTestFunctions = 0xA00;
constexpr uint32_t TestCode(uint32_t function) { return 0x22u << 16 | function << 2; }
inline constexpr uint32_t kSetReply = TestCode(0xA00);   // in: Reply
inline constexpr uint32_t kReadLog = TestCode(0xA01);    // out: LogEntry, as many as fit
inline constexpr uint32_t kClearLog = TestCode(0xA02);
inline constexpr uint32_t kReadState = TestCode(0xA03);  // out: State
inline constexpr uint32_t kFailFlash = TestCode(0xA04);  // in: uint32_t, flash commands that fail
inline constexpr uint32_t kCorruptCrc = TestCode(0xA05); // in: uint32_t, program commands whose CRC is off
inline constexpr uint32_t kFailNext = TestCode(0xA06);   // in: FailNext

inline constexpr uint32_t kMaxReply = 2048;
// Room for the whole input of any request the library sends (a settings block is the longest).
inline constexpr uint32_t kLoggedInput = 2048;

// How the unit answers request `request`: when `scripted`, with `status` and `information` bytes
// of `data`; not scripted: registers and the flash (requests 8-10) as a unit keeps them, every
// other request success with no bytes.
struct Reply {
  uint32_t request;
  uint32_t scripted;
  int32_t status;
  uint32_t information;
  uint32_t size;
  uint8_t data[kMaxReply];
};

// The next `count` requests `request` fail, whatever their reply.
struct FailNext {
  uint32_t request;
  uint32_t count;
};

// One request a program sent, in order.
struct LogEntry {
  uint32_t request;
  uint32_t inLength;
  uint32_t outLength;
  uint32_t is32;
  uint8_t input[kLoggedInput];
};

struct State {
  uint32_t opens;       // files programs opened
  uint32_t closes;      // of those, closed
  uint32_t interfaceOn; // the device interface is enabled
  uint32_t flashPartition;
  uint32_t flashCrc;    // the unit's running CRC since the begin command
  uint32_t flashBytes;  // programmed since the begin command
  uint32_t flashBegun;  // begin commands
  uint32_t flashFinished;  // finish commands that completed
  uint32_t flashStatus;
  uint32_t badUnlocks;  // commands not preceded by the unlock word
};

// The CRC-16/XMODEM of the flash blocks, bit by bit over each word's bytes from the most
// significant: the unit's own computation, written apart from the library's.
inline uint16_t Xmodem(uint16_t crc, const uint32_t* words, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      crc = static_cast<uint16_t>(crc ^ (((words[i] >> shift) & 0xFF) << 8));
      for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

}  // namespace scripted
