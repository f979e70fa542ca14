// The pin client: Windows' audio stack as an adapter's filters see it. It finds the subdevices
// an adapter registered, opens their pins through the ports in the order the stack uses (data
// intersection asked with length 0 and then with a buffer of the length reported, the
// miniport's new stream, its format, its notification frequency, then acquire, pause and run),
// reads positions, plays a buffer and records into one, drives MIDI pins both ways, and sends
// property requests (get, set, basic support) to filters and their nodes. A filter is a file on
// the adapter's device, named by its subdevice as an interface's reference string names it, and
// each pin holds its filter's file, so plug and play removes a pulled device only once the client
// closed them all; meanwhile every call on them fails with STATUS_DEVICE_REMOVED. Past the open no
// kernel-streaming requests are built: miniports never see IRPs, so the client calls the ports
// directly. Every call is made at PASSIVE_LEVEL, on a simulated thread or the host.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/portcls/include/portcls.h"

namespace plat {

namespace pc {
class PortBase;
class WavePin;
class MidiPin;
}  // namespace pc

// A subdevice as port class registered it: its name (the reference string), the interface
// classes and the symbolic links of its interfaces.
struct PcSubdeviceInfo {
  std::u16string name;
  std::vector<GUID> categories;
  std::vector<std::u16string> links;
};
// The subdevices of the adapter on `pdo`, in the order they were registered.
std::vector<PcSubdeviceInfo> PcSubdevices(PDEVICE_OBJECT pdo);

struct PcConnectionInfo {
  std::u16string from;
  ULONG fromPin;
  std::u16string to;
  ULONG toPin;
};
std::vector<PcConnectionInfo> PcPhysicalConnections(PDEVICE_OBJECT pdo);

class KsFilter {
 public:
  // The filter of the subdevice `name` of the adapter on `pdo`, opened as a file on the device;
  // null, with the status, when the adapter has no such subdevice or its device was pulled.
  static std::unique_ptr<KsFilter> Open(PDEVICE_OBJECT pdo, std::u16string_view name, NTSTATUS* status);
  // Closes the file; pins still open keep it until they close.
  ~KsFilter();
  KsFilter(const KsFilter&) = delete;
  KsFilter& operator=(const KsFilter&) = delete;

  const PCFILTER_DESCRIPTOR& Descriptor() const;
  // A property of the filter (node PCFILTER_NODE) or a node. `valueSize` is the buffer's size in
  // and the size the handler reported out.
  NTSTATUS Property(ULONG node, const GUID& set, ULONG id, ULONG verb, const void* instance, ULONG instanceSize,
                    void* value, ULONG* valueSize);
  // A node property addressed to one channel (KSNODEPROPERTY_AUDIO_CHANNEL): its instance is the
  // channel and a reserved word.
  NTSTATUS ChannelProperty(ULONG node, const GUID& set, ULONG id, ULONG verb, LONG channel, void* value,
                           ULONG* valueSize);
  // A data intersection as the stack asks it: length 0 first, then a buffer of that length.
  NTSTATUS Intersect(ULONG pin, const KSDATARANGE& clientRange, std::vector<UCHAR>* format);

  pc::PortBase& Port() { return *mPort; }
  PFILE_OBJECT File() const { return mFile; }

 private:
  KsFilter(PFILE_OBJECT file, pc::PortBase* port) : mFile(file), mPort(port) {}
  PFILE_OBJECT mFile;
  pc::PortBase* mPort;  // the file's
};

class KsWavePin {
 public:
  // Opens `pin` of a wave-cyclic filter with the client's range, in the stop state.
  // `captureCapacity` bounds what a capture pin records.
  static std::unique_ptr<KsWavePin> Open(KsFilter& filter, ULONG pin, const KSDATARANGE_AUDIO& clientRange,
                                         ULONG notificationMs, ULONG captureCapacity, NTSTATUS* status);
  // Stops the pin where it runs and closes it.
  ~KsWavePin();
  KsWavePin(const KsWavePin&) = delete;
  KsWavePin& operator=(const KsWavePin&) = delete;

  const std::vector<UCHAR>& Format() const { return mFormat; }
  ULONG FramingSize() const { return mFramingSize; }
  ULONG BufferSize() const;
  KSSTATE State() const;
  // Acquire, pause, run; each step failing ends the road there.
  NTSTATUS Run();
  // Down to `state` one step at a time (pause, acquire, stop).
  NTSTATUS Leave(KSSTATE state);
  NTSTATUS Position(ULONG* position);
  // A byte position turned into 100-nanosecond units by the miniport's stream, as the stack asks
  // for a pin's physical time.
  NTSTATUS NormalizePosition(LONGLONG* position);
  // Another format for the open pin, as the stack sets one on a pin that is not running.
  NTSTATUS SetFormat(const std::vector<UCHAR>& format);
  void Play(std::vector<UCHAR> bytes);
  std::vector<UCHAR> Recorded() const;
  // Without a copy, for a host done with the pin: it records nothing more.
  std::vector<UCHAR> TakeRecorded();
  // The notifications that reached the pin in the service group's DPC, and the IRQL the last
  // one ran at.
  ULONG Notifications() const;
  KIRQL NotificationIrql() const;
  ULONGLONG BytesMoved() const;

 private:
  KsWavePin(PFILE_OBJECT filter, pc::WavePin* pin, std::vector<UCHAR> format);
  PFILE_OBJECT mFilter;  // referenced
  pc::WavePin* mPin;     // referenced
  std::vector<UCHAR> mFormat;
  ULONG mFramingSize = 0;
};

class KsMidiPin {
 public:
  // Opens `pin` of a MIDI filter with a MIDI range of the client's, in the stop state.
  static std::unique_ptr<KsMidiPin> Open(KsFilter& filter, ULONG pin, NTSTATUS* status);
  ~KsMidiPin();
  KsMidiPin(const KsMidiPin&) = delete;
  KsMidiPin& operator=(const KsMidiPin&) = delete;

  NTSTATUS Run();
  NTSTATUS Leave(KSSTATE state);
  KSSTATE State() const;
  // A render pin's bytes, offered to the miniport now and at every service until taken; false,
  // with the status when asked for, when the pin has no room for them or the device is gone.
  bool Write(const std::vector<UCHAR>& bytes, NTSTATUS* status = nullptr);
  ULONG Unwritten() const;
  // What a capture pin has read since the last call; STATUS_DEVICE_REMOVED in `status` once the
  // device is gone and nothing is left.
  std::vector<UCHAR> Read(NTSTATUS* status = nullptr);
  // An event of the client's that a capture pin sets whenever bytes come in to be read, and when
  // its device goes: as the read the client keeps pending on the pin completes. Null for none.
  void SignalReads(PKEVENT event);

 private:
  KsMidiPin(PFILE_OBJECT filter, pc::MidiPin* pin);
  PFILE_OBJECT mFilter;  // referenced
  pc::MidiPin* mPin;
};

}  // namespace plat
