#include "tools/qx5310sim/SurfaceSession.h"

#include <cstdio>
#include <memory>

#include "platform/kernel/include/wdm.h"
#include "sim/units/Unit.h"
#include "tools/qx5310sim/ClientHost.h"
#include "tools/qx5310sim/Report.h"

namespace {

constexpr uint32_t kSurfaceCable = 4;
constexpr uint8_t kFirstTouchNote = 104;

uint32_t Packet(uint32_t cin, uint8_t status, uint8_t d1, uint8_t d2) {
  return (kSurfaceCable << 4 | cin) << 24 | uint32_t{status} << 16 | uint32_t{d1} << 8 | d2;
}

bool MackieStyle(uint32_t protocol) { return protocol == 2 || protocol == 4 || protocol == 5; }

}  // namespace

std::string DescribeMidiEvent(uint32_t packet) {
  uint32_t cin = packet >> 24 & 0xF;
  uint8_t status = packet >> 16 & 0xFF, d1 = packet >> 8 & 0xFF, d2 = packet & 0xFF;
  char text[64];
  switch (cin) {
    case 0x8:
      std::snprintf(text, sizeof text, "note off %u %u", d1, d2);
      break;
    case 0x9:
      std::snprintf(text, sizeof text, "note %u %u", d1, d2);
      break;
    case 0xB:
      std::snprintf(text, sizeof text, "cc %u %u ch %u", d1, d2, (status & 0xF) + 1);
      break;
    case 0xE:
      std::snprintf(text, sizeof text, "pitch bend %u = %u", (status & 0xF) + 1, (d2 << 3) | (d1 >> 4));
      break;
    case 0x4:
    case 0x5:
    case 0x6:
    case 0x7:
      std::snprintf(text, sizeof text, "sysex %02X %02X %02X", status, d1, d2);
      break;
    default:
      std::snprintf(text, sizeof text, "cin %u %02X %02X %02X", cin, status, d1, d2);
  }
  return text;
}

struct SurfaceSession::Surface {
  std::string name;
  sim::Unit* hardware;
  uint32_t serial;
  Port port;
  uint16_t lastBend[9] = {};
  std::vector<std::string> fromSurface;
  std::vector<std::string> toSurface;
};

SurfaceSession::SurfaceSession(plat::Scheduler& scheduler, uint32_t protocol) : sched_(scheduler), protocol_(protocol) {
  KeInitializeEvent(&arrived_, SynchronizationEvent, FALSE);
}

SurfaceSession::~SurfaceSession() { Stop(); }

void SurfaceSession::AddUnit(const std::string& name, sim::Unit& hardware, uint32_t serial, Port port) {
  auto s = std::make_unique<Surface>();
  s->name = name;
  s->hardware = &hardware;
  s->serial = serial;
  s->port = std::move(port);
  s->port.take();
  s->port.signal(&arrived_);
  surfaces_.push_back(std::move(s));
}

void SurfaceSession::Play(plat::VTime start) {
  constexpr plat::VTime ms = plat::kNsPerMs;
  for (auto& surface : surfaces_) {
    Surface* s = surface.get();
    sim::Unit* hw = s->hardware;
    sched_.At(start + 100 * ms, [hw] { hw->MoveFader(0, 700); }, PASSIVE_LEVEL);
    sched_.At(start + 150 * ms, [hw] { hw->MoveFader(0, 800); }, PASSIVE_LEVEL);
    sched_.At(start + 200 * ms, [hw] { hw->MoveFader(1, 300); }, PASSIVE_LEVEL);
    sched_.At(start + 300 * ms, [hw] { hw->ReleaseFader(0); }, PASSIVE_LEVEL);
    sched_.At(start + 320 * ms, [hw] { hw->ReleaseFader(1); }, PASSIVE_LEVEL);
    for (uint16_t code : {1, 2, 9}) {
      sched_.At(start + (400 + 40 * code) * ms, [hw, code] { hw->PressButton(code); }, PASSIVE_LEVEL);
      sched_.At(start + (420 + 40 * code) * ms, [hw, code] { hw->ReleaseButton(code); }, PASSIVE_LEVEL);
    }
    sched_.At(start + 900 * ms, [hw] { hw->TurnEncoder(0, 5); }, PASSIVE_LEVEL);
    sched_.At(start + 950 * ms, [hw] { hw->TurnJogWheel(-12); }, PASSIVE_LEVEL);
  }
  hostThread_ = sched_.Spawn("surface host", [this, start] {
    LARGE_INTEGER until;
    until.QuadPart = -static_cast<LONGLONG>((start - sched_.Now()) / 100);
    KeDelayExecutionThread(KernelMode, FALSE, &until);
    for (auto& surface : surfaces_) SendDisplay(*surface, "QX-5310 session: " + surface->name);
    while (!stop_) {
      Poll();
      KeWaitForSingleObject(&arrived_, Executive, KernelMode, FALSE, nullptr);
    }
  }, true);
}

void SurfaceSession::Stop() {
  if (hostThread_ != 0) {
    stop_ = true;
    KeSetEvent(&arrived_, 0, FALSE);
    sched_.RunUntil([this] { return sched_.ThreadDone(hostThread_); }, sched_.Now() + plat::kNsPerSecond);
    hostThread_ = 0;
  }
  for (auto& s : surfaces_) s->port.signal(nullptr);
}

void SurfaceSession::Poll() {
  for (auto& s : surfaces_) {
    for (uint32_t packet : s->port.take()) {
      if ((packet >> 28) != kSurfaceCable) continue;
      s->fromSurface.push_back(DescribeMidiEvent(packet));
      Answer(*s, packet);
    }
  }
}

void SurfaceSession::Answer(Surface& s, uint32_t packet) {
  if (!MackieStyle(protocol_)) return;
  uint32_t cin = packet >> 24 & 0xF;
  uint8_t status = packet >> 16 & 0xFF, d1 = packet >> 8 & 0xFF, d2 = packet & 0xFF;
  auto send = [&](uint32_t reply) {
    s.toSurface.push_back(DescribeMidiEvent(reply));
    s.port.send(reply);
  };
  if (cin == 0xE && (status & 0xF) < 9) {
    s.lastBend[status & 0xF] = static_cast<uint16_t>(d1 | d2 << 8);
  } else if (cin == 0x9 && d1 >= kFirstTouchNote && d1 < kFirstTouchNote + 9) {
    // A released fader is parked where the user left it, as a host's automation would.
    if (d2 == 0) {
      uint16_t bend = s.lastBend[d1 - kFirstTouchNote];
      send(Packet(0xE, static_cast<uint8_t>(0xE0 + d1 - kFirstTouchNote), bend & 0xFF, bend >> 8));
    }
  } else if (cin == 0x9 && d2 == 127) {
    send(Packet(0x9, 0x90, d1, 127));
  }
}

void SurfaceSession::SendDisplay(Surface& s, const std::string& text) {
  if (!MackieStyle(protocol_)) return;
  std::vector<uint8_t> bytes = {0xF0, 0x00, 0x00, 0x66, 0x14, 0x12, 0x00};
  for (char c : text) bytes.push_back(static_cast<uint8_t>(c) & 0x7F);
  bytes.push_back(0xF7);
  s.toSurface.push_back("sysex display \"" + text + "\"");
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t left = bytes.size() - i;
    uint8_t b0 = bytes[i], b1 = left > 1 ? bytes[i + 1] : 0, b2 = left > 2 ? bytes[i + 2] : 0;
    uint32_t cin = left > 3 ? 0x4 : (left == 3 ? 0x7 : (left == 2 ? 0x6 : 0x5));
    s.port.send(Packet(cin, b0, b1, b2));
  }
}

void SurfaceSession::WriteReport(Report& report) const {
  static const char* const kProtocols[] = {"", "QX-5310 Native", "Mackie Control Emulation", "HUI Emulation",
                                           "Cubase LE", "Cubase SX / Nuendo"};
  report.Section("Surface session");
  const std::vector<ClientHost::UnitView> views = ClientHost::Look();
  report.Value("protocol", std::to_string(protocol_) + " (" + kProtocols[protocol_] + ")");
  for (const auto& s : surfaces_) {
    report.Line(s->name + " (the host's port: " + s->port.what + "):");
    auto list = [&](const char* label, const std::vector<std::string>& items) {
      std::string line;
      for (const auto& item : items) line += (line.empty() ? "" : "; ") + item;
      report.Value(std::string("  ") + label, std::to_string(items.size()) + (items.empty() ? "" : ": " + line));
    };
    list("MIDI from the surface", s->fromSurface);
    list("MIDI to the surface", s->toSurface);
    std::string lamps;
    for (int n = 0; n < 256; ++n)
      if (s->hardware->GetSurface().Lamp(static_cast<uint8_t>(n)) != 0) {
        if (!lamps.empty()) lamps += ' ';
        lamps += std::to_string(n);
      }
    report.Value("  lamps lit", lamps.empty() ? "none" : lamps);
    std::string faders;
    for (int f = 0; f < 9; ++f) {
      if (f != 0) faders += ' ';
      faders += std::to_string(s->hardware->GetSurface().FaderPosition(f));
    }
    report.Value("  fader positions", faders);
    const ClientHost::UnitView* view = nullptr;
    for (const ClientHost::UnitView& v : views)
      if (s->serial == 0 ? v.state.mUnitKind == ClientHost::kMainUnit
                         : v.state.mUnitKind == ClientHost::kExpansionUnit && v.state.mSerial == s->serial)
        view = &v;
    if (view != nullptr && view->displayRead) {
      report.Value("  display", "\"" + view->display[0] + "\" / \"" + view->display[1] + "\"");
    } else {
      report.Value("  display", "nothing published");
    }
  }
}
