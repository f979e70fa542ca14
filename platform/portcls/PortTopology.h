// The topology port: it wraps an IMiniportTopology, whose filter has no streams, only nodes and
// their properties.
#pragma once

#include "platform/portcls/Port.h"

namespace plat::pc {

class PortTopology final : public Port<IPortTopology> {
 public:
  PortTopology() : Port(PortKind::Topology, IID_IPortTopology) {}
  ~PortTopology() override { ReleaseMiniport(); }

 protected:
  NTSTATUS InitMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter, PRESOURCELIST resources) override;
  void ReleaseMiniport() override;

 private:
  PMINIPORTTOPOLOGY mTopology = nullptr;
};

}  // namespace plat::pc
