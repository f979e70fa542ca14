// The kernel client's image loaded beside the unit driver, reached through its control device, for
// tests that drive it as a program would.
#pragma once

#include <vector>

#include "platform/kclient/KernelClient.h"

namespace drvtest {

class KernelClient {
 public:
  KernelClient();  // loads the image and opens its control device
  ~KernelClient();  // closes the device and unloads the image
  KernelClient(const KernelClient&) = delete;
  KernelClient& operator=(const KernelClient&) = delete;

  kclient::State State();
  // The command's own status; the record as the command left it.
  NTSTATUS Command(ULONG code, ULONG argument, std::vector<UCHAR>* record);
  // A command whose record is one word.
  NTSTATUS Command(ULONG code, ULONG word0);
  // The cables (bit n for cable n) the client receives from and sends to.
  void SetUpMidi(ULONG receive, ULONG send);
  // The events the unit's driver consumed.
  ULONG SendMidi(const std::vector<kclient::MidiEvent>& events);
  std::vector<kclient::MidiEvent> TakeMidiIn();
  NTSTATUS Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
};

}  // namespace drvtest
