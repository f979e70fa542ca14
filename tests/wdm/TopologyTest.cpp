// The main unit's topology filter as the audio stack sees it: its pins, nodes and paths, and the
// answers of its volume, mute and CPU-resources properties.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/portcls/include/portcls.h"
#include "sim/units/MainUnit.h"
#include "tests/wdm/WdmRig.h"

namespace {

using wdmtest::WdmRig;

class TopologyTest : public testing::Test {
 protected:
  void SetUp() override {
    rig.Plug(main);
    filter = rig.Filter(main, u"Topology");
    ASSERT_NE(filter, nullptr);
  }
  void TearDown() override { filter.reset(); }

  NTSTATUS Channel(ULONG node, ULONG id, ULONG verb, LONG channel, void* value, ULONG* size) {
    return filter->ChannelProperty(node, KSPROPSETID_Audio, id, verb, channel, value, size);
  }

  WdmRig rig;
  sim::MainUnit main;
  std::unique_ptr<plat::KsFilter> filter;
};

TEST_F(TopologyTest, DescribesARenderAndACapturePathForEachPair) {
  const PCFILTER_DESCRIPTOR& d = filter->Descriptor();
  ASSERT_EQ(d.PinCount, 36u);
  ASSERT_EQ(d.NodeCount, 18u);
  ASSERT_EQ(d.ConnectionCount, 36u);
  for (ULONG k = 0; k < 9; ++k) {
    const GUID name = {0x992A31D7 + k, 0x04D2, 0x445E, {0x8B, 0x72, 0xEF, 0x50, 0xAA, 0x06, 0x55, 0x81}};
    EXPECT_EQ(d.Pins[2 * k].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(*d.Pins[2 * k + 1].KsPinDescriptor.Name, name);
    EXPECT_EQ(*d.Pins[18 + 2 * k].KsPinDescriptor.Name, name);
    EXPECT_EQ(d.Pins[19 + 2 * k].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(*d.Nodes[k].Type, KSNODETYPE_VOLUME);
    EXPECT_EQ(*d.Nodes[9 + k].Type, KSNODETYPE_MUTE);
    const PCCONNECTION_DESCRIPTOR& render = d.Connections[2 * k];
    const PCCONNECTION_DESCRIPTOR& capture = d.Connections[18 + 2 * k + 1];
    EXPECT_TRUE(render.FromNode == PCFILTER_NODE && render.FromNodePin == 2 * k && render.ToNode == k);
    EXPECT_TRUE(capture.FromNode == 9 + k && capture.ToNode == PCFILTER_NODE && capture.ToNodePin == 19 + 2 * k);
  }
}

struct GetCase {
  ULONG node;
  ULONG id;
  LONG channel;
  NTSTATUS status;
};

TEST_F(TopologyTest, GetsAnswerOnTheNodesThatServeThem) {
  for (const GetCase& c : std::vector<GetCase>{{0, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, STATUS_SUCCESS},
                                               {0, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, STATUS_SUCCESS},
                                               {0, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, STATUS_INVALID_PARAMETER},
                                               {3, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, STATUS_INVALID_PARAMETER},
                                               {12, KSPROPERTY_AUDIO_MUTE, 0, STATUS_SUCCESS},
                                               {13, KSPROPERTY_AUDIO_MUTE, 0, STATUS_INVALID_PARAMETER},
                                               {17, KSPROPERTY_AUDIO_MUTE, 0, STATUS_SUCCESS},
                                               {9, KSPROPERTY_AUDIO_MUTE, 1, STATUS_INVALID_PARAMETER},
                                               {5, KSPROPERTY_AUDIO_CPU_RESOURCES, 0, STATUS_SUCCESS},
                                               {14, KSPROPERTY_AUDIO_CPU_RESOURCES, 0, STATUS_SUCCESS}}) {
    SCOPED_TRACE(testing::Message() << "node " << c.node << " property " << c.id << " channel " << c.channel);
    LONG value = 0x55;
    ULONG size = sizeof value;
    EXPECT_EQ(Channel(c.node, c.id, KSPROPERTY_TYPE_GET, c.channel, &value, &size), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(value, 0);
      EXPECT_EQ(size, sizeof value);
    }
  }
}

TEST_F(TopologyTest, SetsAreAcceptedAndChangeNothing) {
  LONG value = -0x40000;
  ULONG size = sizeof value;
  EXPECT_EQ(Channel(0, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, -1, &value, &size), STATUS_SUCCESS);
  size = 3;
  EXPECT_EQ(Channel(0, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, 0, &value, &size), STATUS_INVALID_PARAMETER);
  value = 1;
  size = sizeof value;
  EXPECT_EQ(Channel(9, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_SET, 0, &value, &size), STATUS_SUCCESS);
  size = sizeof value;
  EXPECT_EQ(Channel(0, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 0, &value, &size), STATUS_SUCCESS);
  EXPECT_EQ(value, 0);
  size = sizeof value;
  EXPECT_EQ(Channel(9, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, 0, &value, &size), STATUS_SUCCESS);
  EXPECT_EQ(value, 0);
  size = sizeof value;
  EXPECT_EQ(Channel(5, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_SET, 0, &value, &size),
            STATUS_INVALID_DEVICE_REQUEST) << "CPU resources are read only";
}

TEST_F(TopologyTest, VolumeBasicSupportGivesAsMuchAsTheBufferHolds) {
  UCHAR buffer[72];
  ULONG size = sizeof buffer;
  ASSERT_EQ(Channel(0, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0, buffer, &size), STATUS_SUCCESS);
  ASSERT_EQ(size, 72u);
  KSPROPERTY_DESCRIPTION d;
  KSPROPERTY_MEMBERSHEADER members;
  KSPROPERTY_STEPPING_LONG range;
  std::memcpy(&d, buffer, sizeof d);
  std::memcpy(&members, buffer + 40, sizeof members);
  std::memcpy(&range, buffer + 56, sizeof range);
  EXPECT_EQ(d.AccessFlags, 0x203u);
  EXPECT_EQ(d.DescriptionSize, 72u);
  EXPECT_EQ(d.PropTypeSet.Set, KSPROPTYPESETID_General);
  EXPECT_EQ(d.PropTypeSet.Id, VT_I4);
  EXPECT_EQ(d.MembersListCount, 1u);
  EXPECT_EQ(members.MembersFlags, KSPROPERTY_MEMBER_STEPPEDRANGES);
  EXPECT_EQ(members.MembersSize, 16u);
  EXPECT_EQ(members.MembersCount, 1u);
  EXPECT_EQ(range.SteppingDelta, 0x20000u) << "2 dB";
  EXPECT_EQ(range.Bounds.SignedMinimum, -62 * 65536) << "-62 dB";
  EXPECT_EQ(range.Bounds.SignedMaximum, 0);

  size = 50;
  ASSERT_EQ(Channel(0, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0, buffer, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 40u) << "the description alone";
  size = 8;
  ASSERT_EQ(Channel(0, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0, buffer, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 4u);
  ULONG flags;
  std::memcpy(&flags, buffer, sizeof flags);
  EXPECT_EQ(flags, 0x203u);
  size = 3;
  EXPECT_EQ(Channel(0, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0, buffer, &size),
            STATUS_INVALID_DEVICE_REQUEST);
  size = sizeof buffer;
  EXPECT_EQ(Channel(4, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0, buffer, &size),
            STATUS_INVALID_PARAMETER);
}

TEST_F(TopologyTest, MuteAndCpuResourcesBasicSupport) {
  KSPROPERTY_DESCRIPTION d{};
  ULONG size = sizeof d;
  ASSERT_EQ(Channel(9, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_BASICSUPPORT, 0, &d, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(d.AccessFlags, 0x203u);
  EXPECT_EQ(d.PropTypeSet.Id, VT_BOOL);
  EXPECT_EQ(d.MembersListCount, 0u);
  size = sizeof d;
  EXPECT_EQ(Channel(10, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_BASICSUPPORT, 0, &d, &size), STATUS_INVALID_PARAMETER);
  size = sizeof d;
  ASSERT_EQ(Channel(0, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_BASICSUPPORT, 0, &d, &size), STATUS_SUCCESS);
  EXPECT_EQ(d.AccessFlags, 0x201u);
  EXPECT_EQ(d.PropTypeSet.Id, VT_I4);
  LONG value = 0;
  size = 2;
  EXPECT_EQ(Channel(0, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET, 0, &value, &size), STATUS_BUFFER_TOO_SMALL);
}

}  // namespace
