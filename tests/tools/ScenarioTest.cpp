// The main job's scenario as a whole: the kernel driver and the audio adapter loaded by plug and
// play for every unit, the units as the host's client library finds them, settings through the
// driver kept in the registry, 18x18 looped bit-exact through the ASIO driver by an ASIO host in
// its own process while a host of the audio stack plays and records on "WaveA1", the surface
// session through "MidiC" and "MidiKR6"; it loses nothing, and two runs write the same report and
// the same files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "sim/units/Wav.h"
#include "tests/tools/RunComparison.h"
#include "tools/qx5310sim/MainJob.h"

namespace {

namespace fs = std::filesystem;

// A folder of its own for each test, gone at the end.
class Folder {
 public:
  explicit Folder(const std::string& what)
      : path_(fs::temp_directory_path() / ("qx5310sim-" + what + "-" + std::to_string(::getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Folder() { fs::remove_all(path_); }
  fs::path Sub(const std::string& name) const {
    fs::create_directories(path_ / name);
    return path_ / name;
  }

 private:
  fs::path path_;
};

MainJobRun RunScenario(const fs::path& out, bool panel = false) {
  ScenarioOptions options;
  options.duration = plat::kNsPerSecond / 2;
  options.panel = panel;
  return RunMainJob(out.string(), options);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

TEST(MainJobScenario, TwoRunsWriteTheSameReportAndTheSameFilesAndLoseNothing) {
  Folder folder("twice");
  fs::path first = folder.Sub("first"), second = folder.Sub("second");
  MainJobRun a = RunScenario(first);
  MainJobRun b = RunScenario(second);
  EXPECT_FALSE(a.report.AnythingLost()) << a.report.Text();
  EXPECT_FALSE(b.report.AnythingLost()) << b.report.Text();
  EXPECT_EQ(a.traceHash, b.traceHash);
  const std::string text = a.report.Text();
  for (const char* unit : {"main unit: kind 1, slot 0 (active)", "KR-6 #1: kind 2, slot 1, library slot 0",
                           "KR-6 #2: kind 2, slot 2, library slot 1"})
    EXPECT_NE(text.find(unit), std::string::npos) << unit << "\n" << text;
  EXPECT_NE(text.find("main unit audio adapter:    17 subdevices"), std::string::npos) << text;
  EXPECT_NE(text.find("KR-6 #2 audio adapter:      \"MidiKR6\""), std::string::npos) << text;
  EXPECT_NE(text.find("kernel client:              bound to the main unit's interface"), std::string::npos) << text;
  for (const char* line : {"to an ASIO host in its own process", "ASIO driver:                \"QX531 24-bit\" as the host lists it",
                           ", every one alternating its half, no \"repeat! \"",
                           "time info:                  with every switch; sample positions a half (",
                           " frames) apart; valid: system time, sample position, sample rate\n", "reset requests:             0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  EXPECT_NE(text.find("loop record -> playback:    bit-exact over"), std::string::npos) << text;
  EXPECT_NE(text.find("reached outputs 1-2 bit-exact"), std::string::npos) << text;
  EXPECT_NE(text.find("frames of inputs 1-2 after"), std::string::npos) << text;
  const std::string surface = "main unit (the host's port: \"MidiC\" of the audio adapter):\n"
                              "  MIDI from the surface:    ";
  const size_t at = text.find(surface);
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_NE(text[at + surface.size()], '0') << "the main unit's surface MIDI reaches \"MidiC\"\n" << text;
  EXPECT_EQ(text.find("MIDI from the surface:    0\n"), std::string::npos) << "every surface's MIDI reaches the host";
  for (const char* name : {"report.txt", "machine-state.reg", "recorded.wav", "unit-received.wav", "wavea1-played.wav",
                           "wavea1-recorded.wav"})
    EXPECT_TRUE(fs::is_regular_file(first / name)) << name << " was written";
  auto differences = CompareRunFolders(first, second);
  EXPECT_TRUE(differences.empty()) << Joined(differences);
}

TEST(MainJobScenario, ThePanelIsWorkedThroughEveryStepAndPicturedTheSameInTwoRuns) {
  Folder folder("panel");
  fs::path first = folder.Sub("first"), second = folder.Sub("second");
  MainJobRun a = RunScenario(first, true);
  MainJobRun b = RunScenario(second, true);
  for (const std::string& loss : a.report.Losses())
    EXPECT_EQ(loss.find("panel"), std::string::npos) << loss << "\n" << a.report.Text();
  const std::string text = a.report.Text();
  for (const char* step :
       {"log-on start:               \"QX5310Panel.exe H\": hidden\n", "units found:                1 main unit(s), 2 KR-6\n",
        "second copy:                ended with 0, the first copy shown in front\n",
        "settings:                   protocol 2, 48000 Hz, 256 frames, stored by the driver for 3 unit(s)\n",
        "panel button:               hidden, shown in front, hidden\n",
        "closed with Shift:          ended with 0, \"Shutting service down\"\n"})
    EXPECT_NE(text.find(step), std::string::npos) << step << "\n" << text;
  for (const char* name : {"panel-1-settings.png", "panel-2-routing.png", "panel-3-midiprog.png",
                           "panel-4-quickstart.png", "panel-5-kr6.png", "panel.txt"})
    EXPECT_TRUE(fs::is_regular_file(first / name)) << name << " was written";
  auto differences = CompareRunFolders(first, second);
  EXPECT_TRUE(differences.empty()) << Joined(differences);
}

TEST(MainJobScenario, SettingsSurviveBetweenRuns) {
  Folder folder("state");
  fs::path out = folder.Sub("out");
  std::string first = RunScenario(out).report.Text();
  std::string second = RunScenario(out).report.Text();
  EXPECT_NE(first.find("stored settings:            none"), std::string::npos) << first;
  EXPECT_NE(second.find("stored settings:            found"), std::string::npos) << second;
}

// Two folders as two runs write them: a report that names its own folder, a WAV file, a state file.
void WriteRun(const fs::path& out, const std::string& hash, const std::string& wall) {
  std::ofstream(out / "report.txt") << "qx5310sim\n---------\n"
                                    << "registry:                   loaded from " << out.string() << "/machine-state.reg\n"
                                    << "virtual time:               500 ms\n"
                                    << "trace hash:                 " << hash << "\n"
                                    << "WAV files:                  " << out.string() << "/recorded.wav\n"
                                    << "wall time:                  " << wall << " ms\n";
  std::vector<std::vector<int32_t>> channels(2, std::vector<int32_t>(64));
  for (size_t i = 0; i < 64; ++i) channels[0][i] = channels[1][i] = static_cast<int32_t>(i * 0x01010101u);
  ASSERT_TRUE(sim::WavFile::Write((out / "recorded.wav").string(), 48000, channels));
  std::ofstream(out / "machine-state.reg") << "state\n"
                                           << "\"GetInterfaceCallback64\"=dword:00007f10\n"
                                           << "\"Enabled\"=dword:00000001\n";
}

void Edit(const fs::path& file, const std::function<void(std::string&)>& change) {
  std::string bytes;
  {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  change(bytes);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(RunComparison, FindsAnyBitOrReportLineThatDiffersButNotTheRunsOwnHashTimeAndFolder) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;  // applied to the second run's folder
    std::string found;                            // the start of the one difference; empty: none
  } cases[] = {
      {"the same run", [](const fs::path&) {}, ""},
      {"one bit of a WAV sample",
       [](const fs::path& d) { Edit(d / "recorded.wav", [](std::string& b) { b[b.size() - 7] ^= 0x10; }); },
       "recorded.wav: differs from byte"},
      {"one line of the report",
       [](const fs::path& d) {
         Edit(d / "report.txt", [](std::string& b) { b.replace(b.find("500 ms"), 6, "501 ms"); });
       },
       "report.txt line 4"},
      {"a line more in the report",
       [](const fs::path& d) { std::ofstream(d / "report.txt", std::ios::app) << "one more\n"; }, "report.txt line 6"},
      {"a file only one run wrote", [](const fs::path& d) { std::ofstream(d / "midi.log") << "\n"; },
       "midi.log: only in the second run"},
      {"a state file of another length",
       [](const fs::path& d) { std::ofstream(d / "machine-state.reg", std::ios::app) << "x"; },
       "machine-state.reg: differs from byte"},
      {"where the host placed the driver's image",
       [](const fs::path& d) {
         Edit(d / "machine-state.reg", [](std::string& b) { b.replace(b.find("7f10"), 4, "7fd1"); });
       },
       ""},
      {"another stored value",
       [](const fs::path& d) {
         Edit(d / "machine-state.reg", [](std::string& b) { b.replace(b.find("00000001"), 8, "00000000"); });
       },
       "machine-state.reg: differs from byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Folder folder("compare");
    fs::path first = folder.Sub("first"), second = folder.Sub("second-run");
    WriteRun(first, "1234", "310");
    WriteRun(second, "5678", "2290");
    c.change(second);
    auto differences = CompareRunFolders(first, second);
    if (c.found.empty()) {
      EXPECT_TRUE(differences.empty()) << Joined(differences);
    } else {
      ASSERT_EQ(differences.size(), 1u) << Joined(differences);
      EXPECT_TRUE(differences[0].starts_with(c.found)) << differences[0];
    }
  }
}

}  // namespace
