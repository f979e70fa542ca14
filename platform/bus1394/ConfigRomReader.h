// What the bus driver reads of a node's configuration ROM after each reset, quadlet by quadlet,
// and the plug and play ids it makes of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/bus/HostNode.h"

namespace plat::bus1394 {

struct NodeIdentity {
  uint64_t guid = 0;
  uint32_t vendorId = 0;
  uint32_t modelId = 0;
  uint32_t unitSpecId = 0;
  uint32_t unitSwVersion = 0;
  std::string vendorName;  // from the textual leaves, when there are any
  std::string modelName;
  uint32_t maxPayload = 0;  // of one block request, from the bus options

  std::u16string DeviceId() const;
  std::vector<std::u16string> HardwareIds() const;
  std::vector<std::u16string> CompatibleIds() const;
  std::u16string InstanceId() const;
  std::u16string Description() const;
};

// PASSIVE_LEVEL: waits for each read. Empty when the node does not answer as a ROM should, or a
// reset overtook the reads.
std::optional<NodeIdentity> ReadNodeIdentity(sim::HostNode& host, uint8_t node, uint32_t generation);

}  // namespace plat::bus1394
