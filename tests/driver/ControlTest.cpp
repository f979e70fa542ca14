// Device I/O controls from user-mode programs of 32 and 64 bits through the I/O manager to the
// unit driver: every request 0-26 reaches the unit engine and comes back as success or an invalid
// parameter with the reply's length; the control code's other fields and the transfer method.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "sim/host/UserClient.h"
#include "unit/ControlRequests.h"
#include "unit/LcdTextBlock.h"
#include "unit/PreferencesBlock.h"
#include "unit/RegisterMap.h"
#include "unit/SharedStateBlock.h"
#include "unit/UnitNameRecord.h"

namespace {

using host::Control;
using drvtest::DriverRig;
using host::Reply;
using host::Words;

constexpr uint32_t kErrorInvalidFunction = 1;   // STATUS_INVALID_DEVICE_REQUEST
constexpr uint32_t kErrorInvalidParameter = 87;  // STATUS_INVALID_PARAMETER
constexpr uint32_t kFirstAsioRequest = 256;
constexpr uint32_t kLastAsioRequest = 266;

template <typename Record>
std::vector<uint8_t> BytesOf(const Record& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

struct Case {
  uint32_t n;
  std::vector<uint8_t> input;
  uint32_t outputLength;
  bool ok;
  uint32_t bytes;
};

// One request of each number with a well-formed record (the display requests find no text yet: no
// host has sent any), then requests the engine refuses.
std::vector<Case> Cases() {
  UnitNameRecord record{};
  std::strcpy(record.mName, "main");
  return {
      {1, {}, 4, true, 4},
      {2, {}, sizeof(PreferencesBlock), true, sizeof(PreferencesBlock)},
      {3, {}, sizeof(SharedStateBlock), true, sizeof(SharedStateBlock)},
      {4, {'h', 'e', 'l', 'l', 'o', '\n'}, 0, true, 0},
      {5, Words({0}), 0, true, 0},
      {6, {}, 4, true, 4},
      {7, Words({0x90403C00, 0}), 0, true, 0},
      {8, Words({QX5310_PROGRAMMING_WORD, 0x00C0FFEE}), 0, true, 0},
      {9, Words({QX5310_REGISTER_VERSION}), 4, true, 4},
      {10, Words({0, 0}), 0, true, 0},
      {11, Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion, PreferencesBlock::kParamSampleRate, 48000}), 0,
       true, 0},
      {12, Words({1}), 0, true, 0},
      {13, Words({0, 1, 0x4000, 0}), 0, true, 0},
      {14, {}, 4, true, 4},
      {15, {}, LcdTextBlock::kCells, false, 0},
      {16, {}, 0, true, 0},
      {17, {}, 4, true, 4},
      {18, {}, PreferencesBlock::kUnitNameRecords * sizeof(UnitNameRecord), true,
       PreferencesBlock::kUnitNameRecords * sizeof(UnitNameRecord)},
      {19, BytesOf(record), 0, true, 0},
      {20, Words({0, 4, 1}), 0, true, 0},
      {21, Words({1, 2}), 0, true, 0},
      {22, {}, 0, true, 0},
      {23, {}, 4, true, 4},
      {24, {}, LcdTextBlock::kCells, false, 0},
      {25, {}, sizeof(LcdTextBlock), false, 0},
      {26, {}, sizeof(LcdTextBlock), false, 0},
      // Refused by the engine: a reply that does not fit, a record of the wrong size, a
      // setting id that names no word.
      {2, {}, sizeof(PreferencesBlock) - 1, false, 0},
      {5, {0, 0, 0}, 0, false, 0},
      {6, {}, 8, false, 0},
      {9, Words({0}), 2, false, 0},
      {11, Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion, 13, 1}), 0, false, 0},
  };
}

class Requests : public testing::TestWithParam<unsigned> {};

TEST_P(Requests, EveryEngineRequestReachesTheUnitAndAnswersSuccessOrAnInvalidParameterWithItsLength) {
  const unsigned bits = GetParam();
  DriverRig rig(0, 2, drvtest::Load::Image);
  sim::MainUnit main;
  rig.Plug(main);
  const std::vector<Case> cases = Cases();
  std::vector<Control> controls;
  for (const Case& c : cases) controls.push_back({QX531ControlCode(c.n), c.input, c.outputLength});
  controls.push_back({IOCTL_QX531_READ_LOG, {}, 4096});
  controls.push_back({IOCTL_QX531_GET_SHARED_STATE, {}, sizeof(SharedStateBlock)});
  std::vector<Reply> replies;
  EXPECT_EQ(rig.RunProgram(bits, [&]() -> uint32_t {
              std::vector<std::string> units = host::FindUnitInterfaces();
              if (units.size() != 1) return 1;
              replies = host::SendControls(units[0], controls);
              return 0;
            }),
            0u);
  ASSERT_EQ(replies.size(), controls.size());

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Reply& r = replies[i];
    SCOPED_TRACE(testing::Message() << "request " << c.n << ", output " << c.outputLength << ", " << bits << "-bit");
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.error, c.ok ? 0u : kErrorInvalidParameter);
    if (c.ok) {
      EXPECT_EQ(r.bytes, c.bytes);
    }
    for (size_t b = c.outputLength; b < r.output.size(); ++b) ASSERT_EQ(r.output[b], 0xCC) << "written past the output";
  }
  EXPECT_EQ(replies[8].Word(0), main.Register(QX5310_REGISTER_VERSION)) << "request 9 read the unit's register";
  EXPECT_EQ(main.Register(QX5310_PROGRAMMING_WORD), 0x00C0FFEEu) << "request 8 wrote it";

  const Reply& log = replies[cases.size()];
  EXPECT_TRUE(log.ok);
  EXPECT_GT(log.bytes, 0u);
  EXPECT_LE(log.bytes, 4096u);
  EXPECT_NE(std::string(log.output.begin(), log.output.begin() + log.bytes).find("hello\n"), std::string::npos)
      << "request 4 appended to the log that request 0 reads";
  SharedStateBlock state{};
  std::memcpy(&state, replies.back().output.data(), sizeof state);
  EXPECT_EQ(state.mSampleRate, 48000u) << "request 11 applied the setting";
  EXPECT_EQ(state.mProgrammingWord, 0x00C0FFEEu);
}

INSTANTIATE_TEST_SUITE_P(Bits, Requests, testing::Values(32u, 64u),
                         [](const testing::TestParamInfo<unsigned>& info) {
                           return std::to_string(info.param) + "BitCaller";
                         });

TEST(ControlTransport, TheRequestNumberComesFromTheFunctionAloneAndOnlyBufferedRequestsAreTaken) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  struct Transport {
    const char* what;
    uint32_t code;
    uint32_t outputLength;
    bool ok;
    uint32_t error;
    uint32_t bytes;
  } cases[] = {
      {"another device type, function 0x801: request 1", 0x00120000u | 0x801u << 2, 4, true, 0, 4},
      {"another access, function 0x801: request 1", IOCTL_QX531_GET_CHANGE_COUNT | 1u << 14, 4, true, 0, 4},
      {"function 0x7FF: a request number above 26, accepted with nothing", 0x00220000u | 0x7FFu << 2, 4, true, 0, 0},
      {"request 27", QX531ControlCode(27), 4, true, 0, 0},
      {"request 1 with direct input", IOCTL_QX531_GET_CHANGE_COUNT | 1, 4, false, kErrorInvalidFunction, 0},
      {"request 1 with direct output", IOCTL_QX531_GET_CHANGE_COUNT | 2, 4, false, kErrorInvalidFunction, 0},
      {"request 1 with neither", IOCTL_QX531_GET_CHANGE_COUNT | 3, 4, false, kErrorInvalidFunction, 0},
      {"a log longer than the output: the output's length", IOCTL_QX531_READ_LOG, 16, true, 0, 16},
  };
  std::vector<Control> controls;
  for (const Transport& t : cases) controls.push_back({t.code, {}, t.outputLength});
  for (uint32_t n = kFirstAsioRequest; n <= kLastAsioRequest; ++n)
    controls.push_back({QX531ControlCode(n), {}, 8});
  for (unsigned bits : {32u, 64u}) {
    SCOPED_TRACE(bits);
    std::vector<Reply> replies;
    rig.RunProgram(bits, [&]() -> uint32_t {
      std::vector<std::string> units = host::FindUnitInterfaces();
      if (!units.empty()) replies = host::SendControls(units[0], controls);
      return 0;
    });
    ASSERT_EQ(replies.size(), controls.size());
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE(cases[i].what);
      EXPECT_EQ(replies[i].ok, cases[i].ok);
      EXPECT_EQ(replies[i].error, cases[i].error);
      if (cases[i].ok) {
        EXPECT_EQ(replies[i].bytes, cases[i].bytes);
      }
      for (size_t b = cases[i].outputLength; b < replies[i].output.size(); ++b) ASSERT_EQ(replies[i].output[b], 0xCC);
    }
    // With no input and 8 bytes of room: the requests whose reply is longer, and start and buffer
    // creation, which need their records, fail; the others succeed with nothing to report.
    const bool asioOk[] = {false, false, true, false, true, true, true, false, true, true, false};
    static_assert(std::size(asioOk) == kLastAsioRequest - kFirstAsioRequest + 1);
    for (size_t i = std::size(cases); i < replies.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "ASIO request " << kFirstAsioRequest + (i - std::size(cases)));
      EXPECT_EQ(replies[i].ok, asioOk[i - std::size(cases)]);
      EXPECT_EQ(replies[i].error, replies[i].ok ? 0u : kErrorInvalidParameter);
      EXPECT_EQ(replies[i].bytes, 0u);
    }
  }
}

}  // namespace
