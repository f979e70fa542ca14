// Values shared by the simulated 1394 bus, its nodes and the host side.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/kernel/Scheduler.h"

namespace sim {

constexpr uint32_t kCyclesPerSecond = 8000;
constexpr uint32_t kTicksPerCycle = 3072;         // cycle offset runs 0-3071 at 24.576 MHz
constexpr uint32_t kCycleTimeSeconds = 128;       // the seconds field has 7 bits
constexpr uint64_t kCycleTimeWrap = uint64_t{kCyclesPerSecond} * kCycleTimeSeconds;
constexpr uint32_t kChannels = 64;
constexpr uint32_t kMaxNodes = 63;                // node 63 is the broadcast address
constexpr uint32_t kBandwidthUnits = 4915;        // what a freshly reset bus has free
constexpr uint32_t kMaxAsyncPayload = 2048;       // S400
constexpr uint16_t kLocalBus = 0xFFC0;            // bus id 0x3FF in the upper ten bits of a node id
constexpr uint8_t kIsoTcode = 0xA;
constexpr uint8_t kCipTag = 1;

// 1394 CYCLE_TIME register: seconds in bits 25-31, cycle 0-7999 in bits 12-24, offset in 0-11.
constexpr uint32_t CycleTimeWord(uint64_t cycleIndex, uint32_t offset = 0) {
  return static_cast<uint32_t>((cycleIndex / kCyclesPerSecond) % kCycleTimeSeconds) << 25 |
         static_cast<uint32_t>(cycleIndex % kCyclesPerSecond) << 12 | (offset & 0xFFF);
}
constexpr uint32_t CycleTimeAt(plat::VTime t) {
  uint64_t cycle = static_cast<uint64_t>(t / plat::kNsPerCycle);
  auto offset = static_cast<uint32_t>((t % plat::kNsPerCycle) * kTicksPerCycle / plat::kNsPerCycle);
  return CycleTimeWord(cycle, offset);
}
constexpr uint64_t CycleTimeToIndexMod(uint32_t word) {
  return uint64_t{word >> 25} * kCyclesPerSecond + ((word >> 12) & 0x1FFF);
}
// The first absolute cycle that a cycle-time word names, counted from `now`: a word up to 64
// seconds ahead is in the future, anything else has already passed and means `now`.
constexpr uint64_t ResolveStartCycle(uint64_t now, uint32_t word) {
  uint64_t diff = (CycleTimeToIndexMod(word) + kCycleTimeWrap - now % kCycleTimeWrap) % kCycleTimeWrap;
  return diff < kCycleTimeWrap / 2 ? now + diff : now;
}

// Outcome of an asynchronous transaction as the requester sees it.
enum class AsyncStatus : uint8_t {
  Complete,
  Departed,         // no node answers at that id: the node has left the bus or cannot be reached
  StaleGeneration,  // the request named a generation before the latest bus reset
  Timeout,          // the node took the request and never answered
  Busy,             // the node stayed busy through every retry
  TypeError,        // the node does not accept this kind of request or length there
  AddressError,     // nothing at that address
  DataError,
};

const char* ToString(AsyncStatus s);

// How one asynchronous transaction is carried out: the steering that tests and scenarios give
// the bus, one transaction at a time.
enum class TransactionMode : uint8_t {
  Deliver,       // carried out when it arrives after the latency, and completes then
  HoldRequest,   // kept back before it reaches the target until released, in any order
  HoldResponse,  // carried out when it arrives; its completion waits until released
  Immediate,     // carried out and completed inside the call that issued it
  Refuse,        // not sent: the issuing call fails and nothing completes
  Fail,          // not carried out; completes after the latency with the steering's failure
};

struct Steering {
  TransactionMode mode = TransactionMode::Deliver;
  AsyncStatus failure = AsyncStatus::DataError;
};

// A transaction held back by its steering.
struct HeldTransaction {
  uint64_t destination;  // the target's GUID
  uint64_t offset;
  uint32_t length;
  bool write;
  bool responseHeld;  // carried out already; only its completion waits
};

// Iso header as the link layer forms it: data length, tag, channel, tcode, sy.
constexpr uint32_t IsoHeader(uint32_t dataLength, uint32_t channel, uint8_t tag = kCipTag, uint8_t sy = 0) {
  return (dataLength & 0xFFFF) << 16 | uint32_t{tag & 3u} << 14 | (channel & 63) << 8 | uint32_t{kIsoTcode} << 4 |
         (sy & 15u);
}

// One isochronous packet as a listener receives it. The header's length field can disagree with
// the payload when a fault corrupted it.
struct IsoPacket {
  uint32_t channel;
  uint32_t header;
  const uint8_t* payload;
  uint32_t payloadLength;
  uint64_t cycle;       // absolute bus cycle
  uint8_t sourceNode;
};

// Caller-owned packet buffer of an isochronous list. For receive, `length` is the room of the
// slot; for transmit, the bytes to send. Both members are read when the cycle comes, not when
// the list is attached.
struct IsoBuffer {
  uint8_t* data = nullptr;
  uint32_t length = 0;
};

// A caller-owned list of packet buffers, one packet per cycle. It must stay valid until `done`
// has run or it has been detached. `done` runs at DISPATCH_LEVEL once the last buffer was used.
struct IsoList {
  IsoBuffer* buffers = nullptr;
  uint32_t count = 0;
  std::optional<uint32_t> startCycleTime;  // transmit: not before this cycle (CYCLE_TIME word)
  std::function<void(IsoList&)> done;
};

enum class IsoFault : uint8_t { Drop, Duplicate, CorruptLength, CorruptDbs, CorruptDbc };

}  // namespace sim
