// A unit driver that answers from a table the test writes: it registers the client library's
// device interface class on each device of the test bus, logs every request a program sends, and
// keeps registers and a flash the way a unit does.
#include <cstring>
#include <map>
#include <vector>

#include "platform/kernel/include/wdm.h"
#include "tests/client/images/ScriptedUnit.h"

namespace {

// Requests 0-26 and the ASIO requests 256-266 can be scripted.
constexpr uint32_t kRequests = 267;
constexpr uint32_t kWriteRegister = 8;
constexpr uint32_t kReadRegister = 9;
constexpr uint32_t kWriteBlock8000 = 10;
constexpr uint32_t kFlashLength = 0x144;
constexpr uint32_t kFlashUnlock = 0x180;
constexpr uint32_t kFlashPartition = 0x184;
constexpr uint32_t kFlashCommand = 0x188;
constexpr uint32_t kUnlockWord = 0x6B2D94F1;
constexpr uint32_t kBegin = 0xACEACE01;
constexpr uint32_t kProgram = 0xACEACE02;
constexpr uint32_t kFinish = 0xACEACE03;
constexpr uint32_t kGood = 0x0F;
constexpr uint32_t kBad = 0x01;

GUID InterfaceClass() {
  GUID g;
  std::memcpy(&g, scripted::kInterfaceClass, sizeof g);
  return g;
}

struct Unit {
  scripted::Reply replies[kRequests] = {};
  uint32_t failures[kRequests] = {};
  std::vector<scripted::LogEntry> log;
  std::map<uint32_t, uint32_t> registers;
  std::vector<uint8_t> window;  // the block waiting in the flash data window
  scripted::State state{};
  uint32_t failFlash = 0;
  uint32_t corruptCrc = 0;
  bool removed = false;
};

struct Fdo {
  PDEVICE_OBJECT lower;
  UNICODE_STRING link;
  Unit* unit;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

uint32_t Word(const void* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

void Command(Unit* u, uint32_t command) {
  bool unlocked = u->registers[kFlashUnlock] == kUnlockWord;
  u->registers[kFlashUnlock] = 0;
  if (!unlocked) ++u->state.badUnlocks;
  bool fail = !unlocked || u->failFlash > 0;
  if (u->failFlash > 0) --u->failFlash;
  scripted::State& s = u->state;
  switch (command) {
    case kBegin:
      s.flashPartition = u->registers[kFlashPartition];
      s.flashCrc = 0;
      s.flashBytes = 0;
      ++s.flashBegun;
      break;
    case kProgram: {
      uint32_t length = u->registers[kFlashLength];
      if (length > u->window.size() || length % 4 != 0) {
        fail = true;
        break;
      }
      std::vector<uint32_t> words(length / 4);
      if (length != 0) std::memcpy(words.data(), u->window.data(), length);
      s.flashCrc = scripted::Xmodem(static_cast<uint16_t>(s.flashCrc), words.data(), words.size());
      if (u->corruptCrc > 0) {
        --u->corruptCrc;
        s.flashCrc ^= 0x5A5A;
      }
      s.flashBytes += length;
      break;
    }
    case kFinish:
      if (!fail) ++s.flashFinished;
      break;
    default:
      fail = true;
  }
  s.flashStatus = (s.flashCrc & 0xFFFF) << 16 | (fail ? kBad : kGood);
}

// A request of a program: request numbers 0-26 and whatever else comes with function 0x800 and up.
NTSTATUS Request(Unit* u, PIRP irp, PIO_STACK_LOCATION sp) {
  ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  uint32_t n = ((code >> 2) & 0xFFF) - 0x800;
  scripted::LogEntry entry{n, in, out, IoIs32bitProcess(irp) ? 1u : 0u, {}};
  if (buffer != nullptr) std::memcpy(entry.input, buffer, in < scripted::kLoggedInput ? in : scripted::kLoggedInput);
  u->log.push_back(entry);
  if (u->removed) return Complete(irp, STATUS_NO_SUCH_DEVICE);
  if (n >= kRequests) return Complete(irp, STATUS_SUCCESS);
  scripted::Reply& r = u->replies[n];
  if (u->failures[n] > 0) {
    --u->failures[n];
    return Complete(irp, STATUS_INVALID_PARAMETER);
  }
  if (r.scripted) {
    ULONG copy = r.size < out ? r.size : out;
    if (copy != 0) std::memcpy(buffer, r.data, copy);
    ULONG information = r.information < out ? r.information : out;
    return Complete(irp, r.status == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, information);
  }
  switch (n) {
    case kWriteRegister: {
      if (in < 8) return Complete(irp, STATUS_INVALID_PARAMETER);
      uint32_t offset = Word(buffer), value = Word(buffer + 4);
      if (offset == kFlashCommand)
        Command(u, value);
      else
        u->registers[offset] = value;
      return Complete(irp, STATUS_SUCCESS);
    }
    case kReadRegister: {
      if (in < 4 || out < 4) return Complete(irp, STATUS_INVALID_PARAMETER);
      uint32_t offset = Word(buffer);
      uint32_t value = offset == kFlashCommand ? u->state.flashStatus : u->registers[offset];
      std::memcpy(buffer, &value, sizeof value);
      return Complete(irp, STATUS_SUCCESS, sizeof value);
    }
    case kWriteBlock8000:
      u->window.assign(buffer, buffer + in);
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, STATUS_SUCCESS);
  }
}

// A request of the test.
NTSTATUS TestRequest(Unit* u, PIRP irp, PIO_STACK_LOCATION sp) {
  ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case scripted::kSetReply: {
      if (in < sizeof(scripted::Reply)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      scripted::Reply r;
      std::memcpy(&r, buffer, sizeof r);
      if (r.request >= kRequests || r.size > scripted::kMaxReply) return Complete(irp, STATUS_INVALID_PARAMETER);
      u->replies[r.request] = r;
      return Complete(irp, STATUS_SUCCESS);
    }
    case scripted::kFailNext: {
      if (in < sizeof(scripted::FailNext)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      scripted::FailNext f;
      std::memcpy(&f, buffer, sizeof f);
      if (f.request >= kRequests) return Complete(irp, STATUS_INVALID_PARAMETER);
      u->failures[f.request] = f.count;
      return Complete(irp, STATUS_SUCCESS);
    }
    case scripted::kReadLog: {
      size_t fit = out / sizeof(scripted::LogEntry);
      size_t n = fit < u->log.size() ? fit : u->log.size();
      if (n != 0) std::memcpy(buffer, u->log.data(), n * sizeof(scripted::LogEntry));
      return Complete(irp, STATUS_SUCCESS, n * sizeof(scripted::LogEntry));
    }
    case scripted::kClearLog:
      u->log.clear();
      return Complete(irp, STATUS_SUCCESS);
    case scripted::kReadState:
      if (out < sizeof(scripted::State)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      std::memcpy(buffer, &u->state, sizeof u->state);
      return Complete(irp, STATUS_SUCCESS, sizeof u->state);
    case scripted::kFailFlash:
    case scripted::kCorruptCrc:
      if (in < 4) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      (sp->Parameters.DeviceIoControl.IoControlCode == scripted::kFailFlash ? u->failFlash : u->corruptCrc) =
          Word(buffer);
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

bool IsTestCode(ULONG code) { return ((code >> 2) & 0xFFF) >= scripted::kTestFunctions; }

void Remove(PDEVICE_OBJECT d, Fdo* x) {
  RtlFreeUnicodeString(&x->link);
  delete x->unit;
  IoDetachDevice(x->lower);
  IoDeleteDevice(d);
}

NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) {
  auto* x = static_cast<Fdo*>(d->DeviceExtension);
  Unit* u = x->unit;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  bool fromProgram = irp->RequestorMode == UserMode;
  switch (sp->MajorFunction) {
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(x->lower, irp);
    case IRP_MJ_PNP: {
      UCHAR minor = sp->MinorFunction;
      if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        u->removed = true;
        if (u->state.interfaceOn) IoSetDeviceInterfaceState(&x->link, FALSE);
        u->state.interfaceOn = 0;
      }
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(x->lower, irp);
      if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status)) {
        IoSetDeviceInterfaceState(&x->link, TRUE);
        u->state.interfaceOn = 1;
      }
      if (minor == IRP_MN_REMOVE_DEVICE) Remove(d, x);
      return status;
    }
    case IRP_MJ_CREATE:
      if (u->removed) return Complete(irp, STATUS_NO_SUCH_DEVICE);
      if (fromProgram) {
        ++u->state.opens;
        sp->FileObject->FsContext = &u->state;
      }
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
      if (sp->FileObject->FsContext == &u->state) ++u->state.closes;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
      return IsTestCode(sp->Parameters.DeviceIoControl.IoControlCode) ? TestRequest(u, irp, sp) : Request(u, irp, sp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT d = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
  if (!NT_SUCCESS(status)) return status;
  auto* x = static_cast<Fdo*>(d->DeviceExtension);
  *x = {};
  GUID g = InterfaceClass();
  status = IoRegisterDeviceInterface(pdo, &g, nullptr, &x->link);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(d);
    return status;
  }
  x->unit = new Unit;
  x->lower = IoAttachDeviceToDeviceStack(d, pdo);
  d->Flags |= DO_BUFFERED_IO;
  d->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  for (auto& fn : DriverObject->MajorFunction) fn = Dispatch;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}
