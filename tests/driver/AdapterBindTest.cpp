// An audio adapter stand-in loaded by plug and play on a unit's child device: it asks the child
// for the direct-call table at its start, registers for MIDI in, and unregisters at its removal.
// MIDI from the main unit's ports reaches it as the unit sent it, an expansion unit's surface
// reaches its adapter on the surface cable, MIDI it sends reaches the unit, and nothing of either
// driver is left once the units are gone.
#include <gtest/gtest.h>

#include <vector>

#include "driver/PdoDirectInterface.h"
#include "driver/QX531PnpDevice.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "tests/driver/TestAdapter.h"

namespace {

using drvtest::DriverRig;
using drvtest::TestAdapter;
using drvtest::TestAdapters;

TEST(AdapterOnTheChild, BindsExchangesMidiBothWaysWithEachUnitAndLeavesNothingOnceTheUnitsAreGone) {
  {
    DriverRig rig;
    drvtest::InstallTestAdapter();
    sim::MainUnit main;
    sim::Kr6Unit kr6(7);
    rig.Plug(main);
    rig.Plug(kr6);
    ASSERT_EQ(TestAdapters().size(), 2u);
    for (TestAdapter* adapter : TestAdapters()) EXPECT_TRUE(adapter->bound);
    TestAdapter* mainAdapter = drvtest::MainUnitAdapter();
    ASSERT_NE(mainAdapter, nullptr);
    TestAdapter* kr6Adapter = TestAdapters()[TestAdapters()[0] == mainAdapter ? 1 : 0];
    // MIDI on, as a client of the unit asks for it.
    uint32_t midiOnly = QX531Device::kStreamMaskMidi;
    uint32_t returned = 0;
    ASSERT_EQ(rig.DeviceOf(main)->HandleControlRequest(5, &midiOnly, sizeof midiOnly, 0, &returned), 0);
    ASSERT_EQ(rig.DeviceOf(kr6)->HandleControlRequest(5, &midiOnly, sizeof midiOnly, 0, &returned), 0);
    rig.Quiesce();

    const std::vector<ULONG> sent = {0x09903C40, 0x19B00705, 0x2BC00500, 0x3E807F00};
    for (ULONG packet : sent) main.SendMidiInPacket(packet);
    rig.Quiesce();
    EXPECT_EQ(mainAdapter->midiIn, sent) << "every port of the main unit, as the unit sent it";

    PdoDirectInterface& t = mainAdapter->table;
    main.ClearMidiOut();
    EXPECT_EQ(t.SendMidiEvent(t.Context, 0x09, 0x90, 0x3C, 0x40), STATUS_SUCCESS);
    rig.Quiesce();
    EXPECT_EQ(main.MidiOutPackets(0), std::vector<uint32_t>{0x09903C40});

    // The expansion unit's surface reaches its own adapter on the surface cable.
    kr6.MoveFader(0, 0x2000);
    rig.Quiesce();
    ASSERT_FALSE(kr6Adapter->midiIn.empty());
    for (ULONG packet : kr6Adapter->midiIn) EXPECT_EQ(packet >> 28, 4u) << std::hex << packet;

    rig.Unplug(kr6);
    EXPECT_EQ(TestAdapters().size(), 1u) << "the expansion unit's adapter unbound with its unit";
    rig.Unplug(main);
    EXPECT_TRUE(TestAdapters().empty());
  }
}

}  // namespace
