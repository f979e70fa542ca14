// The queued writers when a write fails: what the completion status makes of the item, a refused
// write, and the queue of a unit that left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tests/unit/Requests.h"
#include "tests/unit/UnitDouble.h"
#include "unit/OvrTable.h"
#include "unit/RegisterMap.h"

namespace {

constexpr uint32_t Lamp(uint32_t code) { return 1u << 16 | code; }
constexpr uint32_t MidiEvent(uint32_t n) { return 0x09900000u | n << 8 | 0x40; }

BusOp Block(std::initializer_list<uint32_t> events) {
  BusOp op{BusOp::QueuedBlock, QX5310_MIDI_OUT_WINDOW, 0, {}};
  for (uint32_t n : events) {
    const uint32_t e = MidiEvent(n);
    op.mData.insert(op.mData.end(), {static_cast<uint8_t>(e >> 24), static_cast<uint8_t>(e >> 16),
                                     static_cast<uint8_t>(e >> 8), static_cast<uint8_t>(e)});
  }
  return op;
}

const uint32_t kOvr30 = uint32_t{OvrLevel(30)} << 16 | 0x104;

// One writer, given two things to send: the first goes out and is held, the second is recorded
// while it is held. The expected writes end with a bus reset that runs once everything settled.
struct WriterCase {
  const char* name;
  std::vector<uint32_t> offsets;  // the registers it writes
  WriterItems items;
  const char* droppedLabel;
  void (*first)(UnitDouble&);
  void (*second)(UnitDouble&);
  uint32_t firstItems;  // items the first write carries
  uint32_t laterItems;  // items recorded after it that a unit which left would have been sent
  std::vector<BusOp> done;       // the first write completed
  std::vector<BusOp> sendAgain;  // it failed and is sent again after the reset
  std::vector<BusOp> dropped;    // the unit answered it with an error
  std::vector<BusOp> refused;    // every write refused until the reset
};

const WriterCase kWriters[] = {
    {"Lamps", {QX5310_LAMP}, WriterItems::Lamps, "QX5310DeviceWriter lamps dropped                ",
     [](UnitDouble& u) { u.SetLamp(3, 1); }, [](UnitDouble& u) { u.SetLamp(5, 1); }, 1, 1,
     {Q(QX5310_LAMP, Lamp(142)), Q(QX5310_LAMP, Lamp(174)), Q(QX5310_LAMP, Lamp(169))},
     {Q(QX5310_LAMP, Lamp(142)), Q(QX5310_LAMP, Lamp(142)), Q(QX5310_LAMP, Lamp(174)), Q(QX5310_LAMP, Lamp(169))},
     {Q(QX5310_LAMP, Lamp(142)), Q(QX5310_LAMP, Lamp(174)), Q(QX5310_LAMP, Lamp(169))},
     {Q(QX5310_LAMP, Lamp(142)), Q(QX5310_LAMP, Lamp(174)), Q(QX5310_LAMP, Lamp(169))}},
    {"Faders", {QX5310_FADER_MOTOR}, WriterItems::FaderTargets, "QX5310DeviceWriter fader targets dropped        ",
     [](UnitDouble& u) { u.SetFaderMotor(0, 100); }, [](UnitDouble& u) { u.SetFaderMotor(3, 300); }, 1, 1,
     {Q(QX5310_FADER_MOTOR, 100 << 16), Q(QX5310_FADER_MOTOR, 3 | 300 << 16)},
     {Q(QX5310_FADER_MOTOR, 100 << 16), Q(QX5310_FADER_MOTOR, 100 << 16), Q(QX5310_FADER_MOTOR, 3 | 300 << 16)},
     {Q(QX5310_FADER_MOTOR, 100 << 16), Q(QX5310_FADER_MOTOR, 3 | 300 << 16)},
     {Q(QX5310_FADER_MOTOR, 100 << 16), Q(QX5310_FADER_MOTOR, 3 | 300 << 16)}},
    {"MidiOut", {QX5310_MIDI_OUT_WINDOW}, WriterItems::MidiOutEvents, "QX5310DeviceWriter MIDI-out events dropped      ",
     [](UnitDouble& u) { u.SendMIDIOut(MidiEvent(1)); },
     [](UnitDouble& u) {
       u.SendMIDIOut(MidiEvent(2));
       u.SendMIDIOut(MidiEvent(3));
     },
     1, 2, {Block({1}), Block({2, 3})}, {Block({1}), Block({1, 2, 3})}, {Block({1}), Block({2, 3})},
     {Block({1, 2, 3})}},
    {"Settings", {QX5310_CONTROL_BITS, QX5310_OVR_LEVEL}, WriterItems::Settings, "QX5310DeviceWriter settings dropped             ",
     [](UnitDouble& u) { u.SetPreference(PreferencesBlock::kParamMasterFader, 2); },
     [](UnitDouble& u) { u.SetPreference(PreferencesBlock::kParamOvrThreshold, 30); }, 1, 1,
     {Q(QX5310_CONTROL_BITS, 0x4000), Q(QX5310_OVR_LEVEL, kOvr30)},
     {Q(QX5310_CONTROL_BITS, 0x4000), Q(QX5310_CONTROL_BITS, 0x4000), Q(QX5310_OVR_LEVEL, kOvr30)},
     {Q(QX5310_CONTROL_BITS, 0x4000), Q(QX5310_OVR_LEVEL, kOvr30)},
     {Q(QX5310_CONTROL_BITS, 0x4000), Q(QX5310_OVR_LEVEL, kOvr30)}},
    // A bus reset while MIDI runs programs the notification registers again, whatever came before.
    {"NotifyAddresses", {QX5310_MIDI_NOTIFY_HI, QX5310_MIDI_NOTIFY_LO, QX5310_MIDI_NOTIFY_ENABLE},
     WriterItems::NotifyAddresses, "QX5310DeviceWriter notify addresses dropped     ",
     [](UnitDouble& u) { u.StartMidi(); }, [](UnitDouble&) {}, 1, 1,
     {Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001), Q(QX5310_MIDI_NOTIFY_LO, 0x00100000), Q(QX5310_MIDI_NOTIFY_ENABLE, 1),
      Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001), Q(QX5310_MIDI_NOTIFY_LO, 0x00100000), Q(QX5310_MIDI_NOTIFY_ENABLE, 1)},
     {Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001), Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001),
      Q(QX5310_MIDI_NOTIFY_LO, 0x00100000), Q(QX5310_MIDI_NOTIFY_ENABLE, 1)},
     {Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001), Q(QX5310_MIDI_NOTIFY_LO, 0x00100000), Q(QX5310_MIDI_NOTIFY_ENABLE, 1),
      Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001), Q(QX5310_MIDI_NOTIFY_LO, 0x00100000), Q(QX5310_MIDI_NOTIFY_ENABLE, 1)},
     {Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001), Q(QX5310_MIDI_NOTIFY_LO, 0x00100000), Q(QX5310_MIDI_NOTIFY_ENABLE, 1)}},
};

void PrintTo(const WriterCase& c, std::ostream* out) { *out << c.name; }

struct StatusCase {
  const char* name;
  uint32_t status;
  WriteOutcome outcome;
};

void PrintTo(const StatusCase& c, std::ostream* out) { *out << c.name; }

const StatusCase kStatuses[] = {
    {"Success", kWriteStatusSuccess, WriteOutcome::Done},
    {"Informational", 0x40000000, WriteOutcome::Done},
    {"DepartedOrStaleGeneration", kWriteStatusDeparted, WriteOutcome::SendAgain},
    {"Timeout", kWriteStatusTimeout, WriteOutcome::SendAgain},
    {"Busy", kWriteStatusBusy, WriteOutcome::SendAgain},
    {"NotSentForWantOfResources", kWriteStatusNoResources, WriteOutcome::SendAgain},
    {"TypeError", kWriteStatusTypeError, WriteOutcome::Dropped},
    {"AddressError", kWriteStatusAddressError, WriteOutcome::Dropped},
    {"DataError", kWriteStatusDataError, WriteOutcome::Dropped},
    {"UnknownFailure", 0xC0000001, WriteOutcome::Dropped},
};

// The queued writes of one writer, in order.
std::vector<BusOp> WritesOf(const UnitDouble& unit, const WriterCase& writer) {
  std::vector<BusOp> writes;
  for (const BusOp& op : unit.QueuedWrites()) {
    if (std::find(writer.offsets.begin(), writer.offsets.end(), op.mOffset) != writer.offsets.end()) {
      writes.push_back(op);
    }
  }
  return writes;
}

std::string ReadLog(QX531Device& unit) {
  const Answer answer = Ask(unit, 0, {}, 8192);
  return std::string(answer.mBuffer.begin(), answer.mBuffer.begin() + answer.mBytes);
}

std::string HexLine(const char* label, uint32_t value) {
  char digits[11];
  std::snprintf(digits, sizeof digits, "0x%08X", value);
  return std::string(label) + digits + "\n";
}

std::string CountLine(const char* label, uint32_t count) {
  char digits[9];
  std::snprintf(digits, sizeof digits, " %07u", count);
  return std::string(label) + digits + "\n";
}

class PluggedInUnit {
 protected:
  PluggedInUnit() {
    unit.LookLikeMainUnit();
    EXPECT_EQ(unit.HandlePlugIn(), 0);
    unit.ForgetWrites();
  }

  UnitDouble unit;
};

class FailedWrite : public PluggedInUnit,
                    public testing::TestWithParam<std::tuple<WriterCase, StatusCase>> {};

TEST_P(FailedWrite, StatusDecidesWhetherTheItemGoesAgainAfterTheResetOrIsDroppedAndCounted) {
  const auto& [writer, status] = GetParam();
  unit.mCompletions = UnitDouble::Completions::Held;
  writer.first(unit);
  writer.second(unit);
  ASSERT_EQ(unit.HeldCount(), 1u);
  unit.ReleaseOne(status.status);
  unit.ReleaseAll();
  unit.mCompletions = UnitDouble::Completions::Inline;
  EXPECT_EQ(unit.HandleBusReset(), 0);

  const std::vector<BusOp>& expected = status.outcome == WriteOutcome::Done        ? writer.done
                                       : status.outcome == WriteOutcome::SendAgain ? writer.sendAgain
                                                                                   : writer.dropped;
  EXPECT_EQ(WritesOf(unit, writer), expected);
  EXPECT_FALSE(unit.mQueuedValueChanged);
  const bool dropped = status.outcome == WriteOutcome::Dropped;
  EXPECT_EQ(unit.DroppedItems(writer.items), dropped ? writer.firstItems : 0u);
  const std::string log = ReadLog(unit);
  if (dropped) {
    EXPECT_NE(log.find(HexLine("QX5310DeviceWriteDone error response            ", status.status)), std::string::npos)
        << log;
    EXPECT_NE(log.find(CountLine(writer.droppedLabel, writer.firstItems)), std::string::npos) << log;
  } else {
    EXPECT_EQ(log.find("dropped"), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(EachWriterAndStatus, FailedWrite, testing::Combine(testing::ValuesIn(kWriters),
                                                                            testing::ValuesIn(kStatuses)),
                         [](const testing::TestParamInfo<FailedWrite::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

class Writers : public PluggedInUnit, public testing::TestWithParam<WriterCase> {};

// A failed write with nothing recorded since is not tried again in a loop: the unit is asked again
// once the bus reset has been handled.
TEST_P(Writers, FailedWriteWithNothingNewWaitsForTheBusReset) {
  const WriterCase& writer = GetParam();
  unit.mCompletions = UnitDouble::Completions::Held;
  writer.first(unit);
  ASSERT_EQ(unit.HeldCount(), 1u);
  unit.ReleaseOne(kWriteStatusDeparted);
  EXPECT_EQ(unit.HeldCount(), 0u);
  EXPECT_EQ(WritesOf(unit, writer).size(), 1u);
  unit.mCompletions = UnitDouble::Completions::Inline;
  EXPECT_EQ(unit.HandleBusReset(), 0);
  const std::vector<BusOp> writes = WritesOf(unit, writer);
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[1], writes[0]);
}

INSTANTIATE_TEST_SUITE_P(EachWriter, Writers, testing::ValuesIn(kWriters),
                         [](const testing::TestParamInfo<WriterCase>& info) { return info.param.name; });

class RefusedWrite : public PluggedInUnit, public testing::TestWithParam<WriterCase> {};

TEST_P(RefusedWrite, LeavesItsItemDueForTheKickOfTheBusReset) {
  const WriterCase& writer = GetParam();
  unit.mCompletions = UnitDouble::Completions::Refused;
  writer.first(unit);
  writer.second(unit);
  EXPECT_TRUE(unit.QueuedWrites().empty());
  EXPECT_GT(unit.mRefused, 0);
  unit.mCompletions = UnitDouble::Completions::Inline;
  EXPECT_EQ(unit.HandleBusReset(), 0);
  EXPECT_EQ(WritesOf(unit, writer), writer.refused);
  EXPECT_EQ(unit.DroppedItems(writer.items), 0u);
}

INSTANTIATE_TEST_SUITE_P(EachWriter, RefusedWrite, testing::ValuesIn(kWriters),
                         [](const testing::TestParamInfo<WriterCase>& info) { return info.param.name; });

// Where the writer stands when the unit leaves for good.
enum class Departure { ItemsDueAfterRefusals, WriteInFlightFails, WriteInFlightCompletes };

class UnitThatLeft : public PluggedInUnit, public testing::TestWithParam<std::tuple<WriterCase, Departure>> {};

TEST_P(UnitThatLeft, CountsWhatWasStillQueuedAsDroppedAndSendsNothingMore) {
  const auto& [writer, departure] = GetParam();
  const bool refused = departure == Departure::ItemsDueAfterRefusals;
  unit.mCompletions = refused ? UnitDouble::Completions::Refused : UnitDouble::Completions::Held;
  writer.first(unit);
  writer.second(unit);
  const std::vector<BusOp> before = unit.QueuedWrites();
  EXPECT_EQ(unit.HandleUnPlug(), 0);
  if (!refused) {
    ASSERT_EQ(unit.HeldCount(), 1u);
    unit.ReleaseOne(departure == Departure::WriteInFlightFails ? kWriteStatusDeparted : kWriteStatusSuccess);
  }
  unit.mCompletions = UnitDouble::Completions::Inline;
  EXPECT_EQ(unit.HandleBusReset(), 0);

  EXPECT_EQ(unit.QueuedWrites(), before) << "nothing goes to a unit that left";
  const uint32_t expected =
      departure == Departure::WriteInFlightCompletes ? writer.laterItems : writer.firstItems + writer.laterItems;
  EXPECT_EQ(unit.DroppedItems(writer.items), expected);
  EXPECT_NE(ReadLog(unit).find(CountLine(writer.droppedLabel, expected)), std::string::npos);
}

std::string DepartureName(const testing::TestParamInfo<UnitThatLeft::ParamType>& info) {
  static const char* const kSteps[] = {"ItemsDueAfterRefusals", "WriteInFlightFails", "WriteInFlightCompletes"};
  return std::string(std::get<0>(info.param).name) + "_" + kSteps[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EachWriterAndStep, UnitThatLeft,
                         testing::Combine(testing::ValuesIn(kWriters),
                                          testing::Values(Departure::ItemsDueAfterRefusals,
                                                          Departure::WriteInFlightFails,
                                                          Departure::WriteInFlightCompletes)),
                         DepartureName);

// An item changed and changed back while its write was failing equals what the failed write
// carried; it goes again all the same, once.
TEST(WriterFault, ItemChangedBackToWhatAFailedWriteCarriedGoesAgainOnce) {
  struct Case {
    const char* name;
    void (*change)(UnitDouble&, uint32_t);
    uint32_t offset;
    uint32_t written;
  } const cases[] = {
      {"lamp", [](UnitDouble& u, uint32_t on) { u.SetLamp(3, on); }, QX5310_LAMP, Lamp(142)},
      {"setting",
       [](UnitDouble& u, uint32_t on) { u.SetPreference(PreferencesBlock::kParamMasterFader, on ? 2 : 1); },
       QX5310_CONTROL_BITS, 0x4000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UnitDouble unit;
    unit.LookLikeMainUnit();
    ASSERT_EQ(unit.HandlePlugIn(), 0);
    unit.ForgetWrites();
    unit.mCompletions = UnitDouble::Completions::Held;
    c.change(unit, 1);
    c.change(unit, 0);
    c.change(unit, 1);
    unit.mCompletions = UnitDouble::Completions::Inline;
    unit.ReleaseOne(kWriteStatusDeparted);
    EXPECT_EQ(unit.WritesTo(c.offset), (std::vector<BusOp>{Q(c.offset, c.written), Q(c.offset, c.written)}))
        << "the changes arrived after the write went out, so the completion goes again at once";
  }
}

}  // namespace
