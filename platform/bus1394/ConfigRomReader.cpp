#include "platform/bus1394/ConfigRomReader.h"

#include <memory>

#include "platform/kernel/include/wdm.h"
#include "sim/bus/ConfigRom.h"

namespace plat::bus1394 {

namespace {

constexpr uint32_t kMaxDirectoryEntries = 64;
constexpr uint32_t kMaxLeafQuadlets = 64;
constexpr LONGLONG kReadTimeout100ns = -100 * 10000;  // 100 ms, a split transaction's limit
constexpr uint32_t kMaxPayloadS400 = 2048;

// Reads quadlets of one node's ROM in one generation; the first failure ends every later read.
class RomReader {
 public:
  RomReader(sim::HostNode& host, uint8_t node, uint32_t generation) : host_(host), node_(node), generation_(generation) {}

  std::optional<uint32_t> Quadlet(uint32_t index) {
    if (failed_ || index >= sim::kConfigRomBytes / 4) return Fail();
    struct Result {
      KEVENT done;
      sim::AsyncStatus status = sim::AsyncStatus::Timeout;
      uint32_t value = 0;
    };
    auto result = std::make_shared<Result>();
    KeInitializeEvent(&result->done, NotificationEvent, FALSE);
    bool sent = host_.Read(node_, sim::kConfigRomAddress + 4ull * index, 4, generation_,
                           [result](sim::AsyncStatus s, std::span<const uint8_t> data) {
                             result->status = s;
                             if (s == sim::AsyncStatus::Complete && data.size() == 4)
                               result->value = uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 |
                                               uint32_t{data[2]} << 8 | data[3];
                             KeSetEvent(&result->done, IO_NO_INCREMENT, FALSE);
                           });
    if (!sent) return Fail();
    LARGE_INTEGER timeout;
    timeout.QuadPart = kReadTimeout100ns;
    if (KeWaitForSingleObject(&result->done, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS ||
        result->status != sim::AsyncStatus::Complete)
      return Fail();
    return result->value;
  }

  // The text of the leaf at `index`: after the header and the two descriptor quadlets.
  std::optional<std::string> TextLeaf(uint32_t index) {
    auto header = Quadlet(index);
    if (!header) return std::nullopt;
    uint32_t length = *header >> 16;
    if (length < 2 || length > kMaxLeafQuadlets) return Fail<std::string>();
    std::string text;
    for (uint32_t i = 3; i <= length; ++i) {
      auto q = Quadlet(index + i);
      if (!q) return std::nullopt;
      for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>(*q >> shift & 0xFF);
        if (c == 0) return text;
        text += c;
      }
    }
    return text;
  }

  template <class T = uint32_t>
  std::optional<T> Fail() {
    failed_ = true;
    return std::nullopt;
  }

 private:
  sim::HostNode& host_;
  uint8_t node_;
  uint32_t generation_;
  bool failed_ = false;
};

// A directory's entries, each with its own index in the ROM.
struct DirectoryEntry {
  uint8_t key;
  uint32_t value;
  uint32_t at;
};

std::optional<std::vector<DirectoryEntry>> ReadDirectory(RomReader& rom, uint32_t index) {
  auto header = rom.Quadlet(index);
  if (!header) return std::nullopt;
  uint32_t length = *header >> 16;
  if (length > kMaxDirectoryEntries) return rom.Fail<std::vector<DirectoryEntry>>();
  std::vector<DirectoryEntry> entries;
  for (uint32_t i = 1; i <= length; ++i) {
    auto q = rom.Quadlet(index + i);
    if (!q) return std::nullopt;
    entries.push_back({static_cast<uint8_t>(*q >> 24), *q & 0xFFFFFF, index + i});
  }
  return entries;
}

std::u16string Widen(const std::string& s) {
  std::u16string out;
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    // Ids take no blanks, commas or anything outside printable ASCII.
    out += u > 0x20 && u < 0x7F && u != ',' ? static_cast<char16_t>(u) : u'_';
  }
  return out;
}

std::u16string Hex(uint64_t value, int digits) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out(static_cast<size_t>(digits), u'0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = kDigits[value & 0xF];
  return out;
}

}  // namespace

std::u16string NodeIdentity::DeviceId() const {
  std::u16string vendor = vendorName.empty() ? Hex(vendorId, 6) : Widen(vendorName);
  std::u16string model = modelName.empty() ? Hex(modelId, 6) : Widen(modelName);
  return u"1394\\" + vendor + u"&" + model;
}

std::vector<std::u16string> NodeIdentity::HardwareIds() const {
  return {DeviceId(), CompatibleIds()[0]};
}

std::vector<std::u16string> NodeIdentity::CompatibleIds() const {
  return {u"1394\\" + Hex(unitSpecId, 6) + u"&" + Hex(unitSwVersion, 6)};
}

std::u16string NodeIdentity::InstanceId() const { return Hex(guid, 16); }

std::u16string NodeIdentity::Description() const {
  return modelName.empty() ? DeviceId() : Widen(modelName);
}

std::optional<NodeIdentity> ReadNodeIdentity(sim::HostNode& host, uint8_t node, uint32_t generation) {
  PAGED_CODE();
  RomReader rom(host, node, generation);
  auto first = rom.Quadlet(0);
  if (!first) return std::nullopt;
  uint32_t infoLength = *first >> 24;
  if (infoLength < 4) return std::nullopt;  // a minimal ROM: no GUID to know the node by
  auto name = rom.Quadlet(1);
  auto options = rom.Quadlet(2);
  auto guidHigh = rom.Quadlet(3);
  auto guidLow = rom.Quadlet(4);
  if (!guidLow || *name != sim::kRomBusName) return std::nullopt;
  NodeIdentity id;
  id.guid = uint64_t{*guidHigh} << 32 | *guidLow;
  uint32_t maxRec = *options >> 12 & 0xF;
  id.maxPayload = std::min(kMaxPayloadS400, 1u << (maxRec + 1));

  auto root = ReadDirectory(rom, 1 + infoLength);
  if (!root) return std::nullopt;
  // A textual leaf names the entry right before it.
  uint8_t previous = 0;
  for (const DirectoryEntry& e : *root) {
    switch (e.key) {
      case sim::kRomKeyVendor: id.vendorId = e.value; break;
      case sim::kRomKeyModel: id.modelId = e.value; break;
      case sim::kRomKeyTextLeaf: {
        auto text = rom.TextLeaf(e.at + e.value);
        if (!text) return std::nullopt;
        if (previous == sim::kRomKeyVendor) id.vendorName = *text;
        if (previous == sim::kRomKeyModel) id.modelName = *text;
        break;
      }
      case sim::kRomKeyUnitDirectory: {
        auto unit = ReadDirectory(rom, e.at + e.value);
        if (!unit) return std::nullopt;
        for (const DirectoryEntry& u : *unit) {
          if (u.key == sim::kRomKeyUnitSpecId) id.unitSpecId = u.value;
          if (u.key == sim::kRomKeyUnitSwVersion) id.unitSwVersion = u.value;
        }
        break;
      }
      default: break;
    }
    previous = e.key;
  }
  return id;
}

}  // namespace plat::bus1394
