#include "platform/kernel/WideText.h"
#include "tests/driver/KernelClientHarness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/Loader.h"

namespace drvtest {

KernelClient::KernelClient() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = plat::LdrLoadDriver(kclient::kService, kclient::kImage, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(plat::IoOpenFile(plat::U16(kclient::kDevice), &file_, KernelMode), STATUS_SUCCESS);
}

KernelClient::~KernelClient() {
  if (file_ != nullptr) plat::IoCloseFile(file_);
  if (driver_ != nullptr) {
    EXPECT_TRUE(plat::LdrUnloadDriver(driver_));
  }
}

kclient::State KernelClient::State() {
  kclient::State state{};
  Control(kclient::kIoctlState, nullptr, 0, &state, sizeof state);
  return state;
}

NTSTATUS KernelClient::Command(ULONG code, ULONG argument, std::vector<UCHAR>* record) {
  std::vector<UCHAR> in(sizeof(kclient::CommandRequest));
  kclient::CommandRequest request{code, argument, record != nullptr ? static_cast<ULONG>(record->size()) : 0,
                                  record == nullptr};
  std::memcpy(in.data(), &request, sizeof request);
  if (record != nullptr) in.insert(in.end(), record->begin(), record->end());
  std::vector<UCHAR> out(sizeof(kclient::CommandReply) + request.recordBytes);
  if (!NT_SUCCESS(Control(kclient::kIoctlCommand, in.data(), static_cast<ULONG>(in.size()), out.data(),
                          static_cast<ULONG>(out.size()))))
    return STATUS_UNSUCCESSFUL;
  kclient::CommandReply reply;
  std::memcpy(&reply, out.data(), sizeof reply);
  if (record != nullptr) record->assign(out.begin() + sizeof reply, out.end());
  return reply.status;
}

NTSTATUS KernelClient::Command(ULONG code, ULONG word0) {
  std::vector<UCHAR> record(sizeof word0);
  std::memcpy(record.data(), &word0, sizeof word0);
  return Command(code, 0, &record);
}

void KernelClient::SetUpMidi(ULONG receive, ULONG send) {
  std::vector<UCHAR> record(96, 0);
  for (ULONG n = 0; n < 8; ++n) {
    record[4 * n] = (receive >> n) & 1;
    record[32 + 4 * n] = (send >> n) & 1;
  }
  EXPECT_EQ(Command(0x1014, 0, &record), STATUS_SUCCESS);
}

ULONG KernelClient::SendMidi(const std::vector<kclient::MidiEvent>& events) {
  ULONG consumed = 0;
  EXPECT_EQ(Control(kclient::kIoctlSendMidi, events.data(), static_cast<ULONG>(events.size() * sizeof events[0]),
                    &consumed, sizeof consumed),
            STATUS_SUCCESS);
  return consumed;
}

std::vector<kclient::MidiEvent> KernelClient::TakeMidiIn() {
  std::vector<kclient::MidiEvent> events(1024);
  ULONG_PTR got = 0;
  EXPECT_EQ(plat::IoDeviceControl(file_, kclient::kIoctlTakeMidiIn, nullptr, 0, events.data(),
                                  static_cast<ULONG>(events.size() * sizeof events[0]), &got),
            STATUS_SUCCESS);
  events.resize(got / sizeof(kclient::MidiEvent));
  return events;
}

NTSTATUS KernelClient::Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
  ULONG_PTR information = 0;
  return plat::IoDeviceControl(file_, code, in, inLength, out, outLength, &information);
}

}  // namespace drvtest
