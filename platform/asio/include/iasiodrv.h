// The interface an ASIO driver object gives its host: IUnknown, then the driver's 21 operations in
// their published order. The host finds the object through COM with the driver's class id, which
// is also the interface id it asks for.
#pragma once

#include <unknwn.h>
#include "asio.h"

struct IASIO : IUnknown {
  virtual ASIOBool init(void* sysHandle) = 0;
  virtual void getDriverName(char* name) = 0;  // at most 32 characters with the NUL
  virtual ASIOLong getDriverVersion() = 0;
  virtual void getErrorMessage(char* string) = 0;  // at most 124 characters with the NUL
  virtual ASIOError start() = 0;
  virtual ASIOError stop() = 0;
  virtual ASIOError getChannels(ASIOLong* numInputChannels, ASIOLong* numOutputChannels) = 0;
  virtual ASIOError getLatencies(ASIOLong* inputLatency, ASIOLong* outputLatency) = 0;
  virtual ASIOError getBufferSize(ASIOLong* minSize, ASIOLong* maxSize, ASIOLong* preferredSize,
                                  ASIOLong* granularity) = 0;
  virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
  virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getClockSources(ASIOClockSource* clocks, ASIOLong* numSources) = 0;
  virtual ASIOError setClockSource(ASIOLong reference) = 0;
  virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
  virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
  virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, ASIOLong numChannels, ASIOLong bufferSize,
                                  ASIOCallbacks* callbacks) = 0;
  virtual ASIOError disposeBuffers() = 0;
  virtual ASIOError controlPanel() = 0;
  virtual ASIOError future(ASIOLong selector, void* opt) = 0;
  virtual ASIOError outputReady() = 0;

 protected:
  ~IASIO() = default;
};
