// The main unit's second way in, for another kernel-mode driver: a device interface whose registry
// key gives the address of GetInterfaceCallback and of the unit's client port, and the command
// object that callback hands out. Through it a kernel client reads the unit's description and
// channel names, sets up its own channel buffers, starts and stops audio and MIDI, and exchanges
// MIDI events with the unit.
//
// The command object is reference counted and may outlive its unit: removal detaches it, and from
// then on its commands do nothing and fail.
#pragma once

#include <wdm.h>
#include <punknown.h>

#include <cstdint>

#include "driver/ClientPort.h"

// The interface class the kernel client looks for.
inline const GUID GUID_QX531_KERNEL_INTERFACE = {
    0x1A1DD540, 0x0BD5, 0x11D5, {0x9A, 0x47, 0x00, 0xE0, 0x29, 0x09, 0x5C, 0x67}};
// The command interface's id.
inline const IID IID_IQX531KernelCommands = {
    0x00B253E1, 0x099D, 0x11D5, {0x9A, 0x47, 0x00, 0xE0, 0x29, 0x09, 0x5C, 0x67}};

// Values of the interface's registry key, each REG_DWORD: the two halves of each address.
inline constexpr WCHAR kKernelEntryValue[] = L"GetInterfaceCallback";
inline constexpr WCHAR kKernelEntryHighValue[] = L"GetInterfaceCallback64";
inline constexpr WCHAR kKernelPortValue[] = L"DeviceExtension";
inline constexpr WCHAR kKernelPortHighValue[] = L"DeviceExtension64";

enum KernelCommandCode : ULONG {
  kKernelCommandVersion = 0x1000,
  kKernelCommandDescription = 0x1001,
  kKernelCommandAllocateBuffers = 0x1002,
  kKernelCommandFreeBuffers = 0x1003,
  kKernelCommandStart = 0x1004,
  kKernelCommandStop = 0x1005,
  kKernelCommandNothing = 0x1006,
  kKernelCommandBufferFrames = 0x100A,
  kKernelCommandMidiPortNames = 0x1013,
  kKernelCommandMidiSetup = 0x1014,
  kKernelCommandChannelNames = 0x1017,
};

// What start and stop act on (word 0 of their record).
constexpr ULONG kKernelStartAudio = 0x1;
constexpr ULONG kKernelStartMidi = 0x2;
// The code of the client's MIDI input callback.
constexpr ULONG kKernelClientMidiIn = 1;

class QX531KernelInterface;

// Filled by GetInterfaceCallback; the caller supplies at least these 76 bytes.
#pragma pack(push, 4)
struct KernelInterfaceRecord {
  char mName[64];  // "qx531.sys", NUL-terminated; bytes after the NUL are left as they were
  QX531KernelInterface* mInterface;
  ULONG mVersion;
};
#pragma pack(pop)
static_assert(sizeof(KernelInterfaceRecord) == 76);
static_assert(offsetof(KernelInterfaceRecord, mInterface) == 64 && offsetof(KernelInterfaceRecord, mVersion) == 72);

struct KernelVersionRecord {
  ULONG mVersion;
  ULONG mRevision;
  ULONG mUnused[2];
  ULONG mInterfaceVersion;
};
static_assert(sizeof(KernelVersionRecord) == 20 && offsetof(KernelVersionRecord, mInterfaceVersion) == 16);

constexpr ULONG kKernelRecordSlots = 64;

struct KernelDescriptionRecord {
  char mName[64];
  ULONG mOutputChannels;
  ULONG mInputChannels;
  ULONG mWord72;
  ULONG mWord76;
  ULONG mWord80;
  ULONG mUnused84;
  ULONG mOutputTypes[kKernelRecordSlots];
  ULONG mInputTypes[kKernelRecordSlots];
  ULONG mWord600;
  ULONG mWord604;
  ULONG mRest[65];
};
static_assert(sizeof(KernelDescriptionRecord) == 868);
static_assert(offsetof(KernelDescriptionRecord, mOutputChannels) == 64 &&
              offsetof(KernelDescriptionRecord, mWord80) == 80 && offsetof(KernelDescriptionRecord, mOutputTypes) == 88 &&
              offsetof(KernelDescriptionRecord, mInputTypes) == 344 && offsetof(KernelDescriptionRecord, mWord600) == 600);

// Sample format and rate flags of buffer allocation.
constexpr ULONG kKernelBuffers16Bit = 0x100;
constexpr ULONG kKernelRate44100 = 0x2;
constexpr ULONG kKernelRate48000 = 0x4;
constexpr ULONG kKernelRate88200 = 0x8;
constexpr ULONG kKernelRate96000 = 0x10;

struct KernelBufferRecord {
  ULONG mPlay[kKernelRecordSlots];  // bit 0: play output channel n
  PLONG mOutputBuffers[kKernelRecordSlots];
  ULONG mRecord[kKernelRecordSlots];  // bit 0: record input channel n
  PLONG mInputBuffers[kKernelRecordSlots];
  ULONG mFrames;
  ULONG mFlags;
};
static_assert(sizeof(KernelBufferRecord) == 1544);
static_assert(offsetof(KernelBufferRecord, mOutputBuffers) == 256 && offsetof(KernelBufferRecord, mRecord) == 768 &&
              offsetof(KernelBufferRecord, mInputBuffers) == 1024 && offsetof(KernelBufferRecord, mFrames) == 1536 &&
              offsetof(KernelBufferRecord, mFlags) == 1540);

struct KernelBufferFramesRecord {
  ULONG mUnused;
  ULONG mFrames;
};
static_assert(sizeof(KernelBufferFramesRecord) == 8 && offsetof(KernelBufferFramesRecord, mFrames) == 4);

struct KernelMidiPortNamesRecord {
  ULONG mInputPorts;
  ULONG mOutputPorts;
  ULONG mUnused[2];
  char mInputName[64];
  char mOutputName[64];
};
static_assert(sizeof(KernelMidiPortNamesRecord) == 144);
static_assert(offsetof(KernelMidiPortNamesRecord, mInputName) == 16 && offsetof(KernelMidiPortNamesRecord, mOutputName) == 80);

// The client's MIDI-out entry: the events it consumed.
using PQX531_DELIVER_MIDI = ULONG (*)(ULONG Count, const KernelMidiEvent* Events, PVOID Port);

struct KernelMidiSetupRecord {
  ULONG mReceive[kMidiParserCables];  // bit 0: receive cable n
  ULONG mSend[kMidiParserCables];     // bit 0: send to cable n
  PQX531_CLIENT_MIDI_IN mMidiIn;
  PVOID mMidiInContext;
  PQX531_DELIVER_MIDI mDeliver;
  PVOID mDeliverArgument;
};
static_assert(sizeof(KernelMidiSetupRecord) == 96);
static_assert(offsetof(KernelMidiSetupRecord, mSend) == 32 && offsetof(KernelMidiSetupRecord, mMidiIn) == 64 &&
              offsetof(KernelMidiSetupRecord, mMidiInContext) == 72 && offsetof(KernelMidiSetupRecord, mDeliver) == 80 &&
              offsetof(KernelMidiSetupRecord, mDeliverArgument) == 88);

constexpr ULONG kKernelChannelNameBytes = 64;

struct KernelChannelNamesRecord {
  char mInputNames[kKernelRecordSlots][kKernelChannelNameBytes];
  char mOutputNames[kClientChannels][kKernelChannelNameBytes];
};
static_assert(sizeof(KernelChannelNamesRecord) == 4096 + 18 * 64 && offsetof(KernelChannelNamesRecord, mOutputNames) == 4096);

// The command interface: IUnknown's three slots, which delegate to the outer unknown, then the
// commands.
struct IQX531KernelCommands : IUnknown {
  // PASSIVE_LEVEL. STATUS_SUCCESS, also for codes that do nothing; STATUS_INVALID_PARAMETER for a
  // command that needs a record and got none; STATUS_NO_SUCH_DEVICE once the unit is gone.
  virtual NTSTATUS ExecuteCommand(ULONG code, ULONG argument, PVOID record) = 0;
  // PASSIVE_LEVEL. The callback that receives the per-buffer exchange and the notices.
  virtual NTSTATUS SetClientCallbacks(PQX531_CLIENT_CALLBACK callback, PVOID context, PVOID third) = 0;

 protected:
  ~IQX531KernelCommands() = default;
};

// The object's own unknown, which the outer unknown is.
struct INonDelegatingKernelUnknown {
  virtual HRESULT NonDelegatingQueryInterface(REFIID iid, void** object) = 0;
  virtual uint32_t NonDelegatingAddRef() = 0;
  virtual uint32_t NonDelegatingRelease() = 0;
  virtual ~INonDelegatingKernelUnknown() = default;
};

class QX531KernelInterface final : public IQX531KernelCommands, public INonDelegatingKernelUnknown {
 public:
  // Non-paged pool; one reference, the publisher's. Null without pool.
  static QX531KernelInterface* Create(ClientPort* port);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  NTSTATUS ExecuteCommand(ULONG code, ULONG argument, PVOID record) override;
  NTSTATUS SetClientCallbacks(PQX531_CLIENT_CALLBACK callback, PVOID context, PVOID third) override;

  HRESULT NonDelegatingQueryInterface(REFIID iid, void** object) override;
  uint32_t NonDelegatingAddRef() override;
  uint32_t NonDelegatingRelease() override;
  ~QX531KernelInterface() override = default;

  static void operator delete(void* memory);

  volatile LONG mReferences = 0;
  // The outer unknown, which is the object's own.
  INonDelegatingKernelUnknown* mOuter = nullptr;
  // The unit's port until removal detaches the object; read only inside a published call.
  ClientPort* volatile mPort = nullptr;
  // Detached objects that clients still hold, linked for the driver's unload.
  QX531KernelInterface* mNextDetached = nullptr;

 private:
  explicit QX531KernelInterface(ClientPort* port);
};

// PASSIVE_LEVEL. At the main unit's start: registers and enables the interface on the unit's
// physical device, with the two addresses in its key, and makes the command object. A start after
// a stop finds it published and does nothing.
NTSTATUS PublishKernelInterface(PDEVICE_OBJECT physicalDevice, ClientPort* port);
// PASSIVE_LEVEL. At surprise removal and removal: disables the interface and zeroes the two low
// address words, so a client that reads the key finds nothing to call.
void UnpublishKernelInterface(ClientPort* port);
// PASSIVE_LEVEL. At removal, once the client has had its notice: waits for the calls in flight,
// detaches the command object, frees what the client left allocated and drops the publisher's
// reference.
void DetachKernelInterface(ClientPort* port);
// PASSIVE_LEVEL. At the driver's unload: frees the detached command objects whose clients never
// released them. Their code goes with the image, so no client can call them from then on.
void FreeDetachedKernelInterfaces();
// PASSIVE_LEVEL. The removal notice ({0, 8}), to a client that registered its callback; once.
void NotifyKernelClientOfRemoval(ClientPort* port);

// The published entry: fills the record and adds a reference for the pointer it hands out.
// STATUS_INVALID_PARAMETER for a null record, STATUS_NO_SUCH_DEVICE for a port that is not a
// published one (a stale key, a unit gone).
NTSTATUS GetInterfaceCallback(PVOID record, PVOID port);

// DISPATCH_LEVEL or below. The client's MIDI-out entry; see PQX531_DELIVER_MIDI. Events on cables
// the client may not send to, and events that carry no message, are consumed unsent. A full
// MIDI-out ring stops it: the events from there on are not consumed, for the client to send again.
ULONG DeliverMidiToClient(ULONG count, const KernelMidiEvent* events, PVOID port);

// DISPATCH_LEVEL or below. The sink of the port's MIDI parsers: a whole message on `cable` to the
// client's MIDI input, when it is attached for MIDI and receives that cable.
VOID KernelClientMidiSink(PVOID port, ULONG cable, const KernelMidiEvent* event);

// The USB-MIDI packet a client's event becomes on `cable`, given and updating whether that cable
// is inside a SysEx; FALSE when the event carries no message to send.
BOOLEAN KernelMidiEventToPacket(const KernelMidiEvent& event, ULONG cable, UCHAR* inSysEx, ULONG* packet);
