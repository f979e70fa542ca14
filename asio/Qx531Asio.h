// The ASIO driver object: the unit's 18 inputs and 18 outputs for an ASIO host, through buffers
// the kernel driver maps into the host's process, and the buffer-switch thread that turns the
// kernel driver's event into the host's buffer switches.
#pragma once

#include <iasiodrv.h>
#include <objbase.h>
#include <windows.h>

#include "asio/CUnknown.h"
#include "asio/Qx531AsioRequests.h"
#include "client/QX531WinDriverInterface.h"

// The driver's class id, which is also the id of the interface hosts ask it for.
inline constexpr CLSID CLSID_Qx531Asio = {0x3CC6396F, 0xD6D9, 0x4101, {0xAC, 0x20, 0xD9, 0xAD, 0x05, 0xEB, 0x16, 0x37}};

// The create routine of the class-factory table.
CUnknown* CreateQx531Asio(IUnknown* outer, HRESULT* hr);

class Qx531Asio : public IASIO, public CUnknown, public QX531WinDriverInterface {
 public:
  Qx531Asio(IUnknown* outer, HRESULT* hr);
  ~Qx531Asio() override;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return GetOwner()->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }

  ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  ASIOLong getDriverVersion() override;
  void getErrorMessage(char* string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(ASIOLong* numInputChannels, ASIOLong* numOutputChannels) override;
  ASIOError getLatencies(ASIOLong* inputLatency, ASIOLong* outputLatency) override;
  ASIOError getBufferSize(ASIOLong* minSize, ASIOLong* maxSize, ASIOLong* preferredSize, ASIOLong* granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource* clocks, ASIOLong* numSources) override;
  ASIOError setClockSource(ASIOLong reference) override;
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, ASIOLong numChannels, ASIOLong bufferSize,
                          ASIOCallbacks* callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(ASIOLong selector, void* opt) override;
  ASIOError outputReady() override;

  HRESULT NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // The buffer-switch thread; its argument is the object that started it.
  static DWORD WINAPI myThread(LPVOID param);
  // False when the host's callback stopped the stream, or stopped it and started another.
  bool DispatchBufferSwitch(ASIOLong index);

 private:
  // One request to the main unit, input and reply in one buffer. False when nothing was sent or
  // the request failed; the reply is zeroed first and `returned` says how much came back.
  bool AsioIoctl(uint32_t request, const void* input, uint32_t inLength, void* output, uint32_t outLength,
                 uint32_t* returned);
  bool ReadCaps(AsioCaps* caps);
  bool ReadClockState(AsioClockState* state);
  // Whether the main unit's interface is still listed (also when the list can't be read: nothing is
  // known to have gone). Changes nothing, so the buffer-switch thread may ask it.
  bool MainUnitListed() const;
  // After a failed request, on a host's call: true, and the object no longer present, when the
  // main unit has gone.
  bool UnitGone();
  // What a method answers for a request that failed.
  ASIOError RequestFailed();
  void SetErrorText(const char* text);
  void CloseStreamHandles();
  // Waits for and closes the thread a stop from its own callback left running, unless that is the
  // calling thread.
  void ReapEndingThread();

  ASIOCallbacks* hostCallbacks = nullptr;
  volatile DWORD sampleCounter = 0;
  LONG clockSourceCount = 0;
  volatile DWORD positionSnapshot = 0;
  volatile DWORD timeSnapshot = 0;
  LONG createdFrames = 0;
  LONG createdInputs = 0;
  LONG createdOutputs = 0;
  volatile LONG present = 0;
  volatile LONG running = 0;
  LONG buffersCreated = 0;
  LONG bufferFrames = 256;
  LONG inputCount = kAsioUnitChannels;
  LONG outputCount = kAsioUnitChannels;
  LONG sampleBits = kAsioCapsInput;
  void* sysHandle = nullptr;
  char errorText[128] = {};
  ASIOTime timeBlock{};
  LONG timeInfoMode = 0;
  AsioCreateRequest createRequest{};
  HANDLE threadHandle = nullptr;
  volatile double currentRate = 44100.0;
  volatile uint8_t* inPong = nullptr;
  HANDLE eventHandle = nullptr;
  // The buffer-switch thread's id, and a count of starts by which a thread knows it was replaced.
  DWORD threadId = 0;
  volatile LONG streamGeneration = 0;
  // A buffer-switch thread stopped from its own callback, still returning from it: whoever next
  // starts, disposes or destroys waits for it, so the object outlives it.
  HANDLE endingThread = nullptr;
  DWORD endingThreadId = 0;
};

// The object whose construction last found the main unit.
extern Qx531Asio* liveDriver;
