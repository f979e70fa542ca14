#pragma once

#include <cstdint>

// The bus status that completes a queued write, as the platform hands it over: on Windows the
// NTSTATUS of the 1394 bus driver's request.
inline constexpr uint32_t kWriteStatusSuccess = 0x00000000;
// The unit left the bus or cannot be reached, or the write named a generation that a bus reset
// has ended; the bus driver reports all three so.
inline constexpr uint32_t kWriteStatusDeparted = 0xC0120090;
// The unit took the request and never answered.
inline constexpr uint32_t kWriteStatusTimeout = 0xC00000B5;
// The unit stayed busy through every retry of the bus driver.
inline constexpr uint32_t kWriteStatusBusy = 0x80000011;
// The platform could not build the request; nothing went out.
inline constexpr uint32_t kWriteStatusNoResources = 0xC000009A;
// Error responses of the unit: a request it does not take there, no register at that address, a
// write it could not take.
inline constexpr uint32_t kWriteStatusTypeError = 0xC0000010;
inline constexpr uint32_t kWriteStatusAddressError = 0xC0000141;
inline constexpr uint32_t kWriteStatusDataError = 0xC000009C;

enum class WriteOutcome : uint32_t {
  Done,       // the unit has it
  SendAgain,  // it never reached the unit, or nobody knows: the item stays due
  Dropped,    // the unit answered with an error: sending it again would fail again
};

// Success and informational statuses are done. A status nobody knows is taken for an error
// response, so that no write is sent again for ever.
constexpr WriteOutcome ClassifyWriteStatus(uint32_t status) {
  if ((status & 0x80000000u) == 0) return WriteOutcome::Done;
  switch (status) {
    case kWriteStatusDeparted:
    case kWriteStatusTimeout:
    case kWriteStatusBusy:
    case kWriteStatusNoResources:
      return WriteOutcome::SendAgain;
    default:
      return WriteOutcome::Dropped;
  }
}
