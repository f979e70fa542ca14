// The flash update procedure: erase, blocks checked by CRC, finish; a failed pass starts the image
// again, and the computer is restarted once a unit was programmed.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "client/FlashRegisters.h"
#include "client/QX531WinDriverInterface.h"

namespace {

constexpr int kEraseSeconds = 7;
constexpr int kFailureLimit = 20;
constexpr DWORD kErrorPauseMs = 2000;
constexpr DWORD kBlockPauseMs = 500;
constexpr DWORD kFinishWaitMs = 22;
constexpr DWORD kDonePauseMs = 2000;

void Report(const char* format, ...) {
  char line[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  size_t n = std::strlen(line);
  line[n] = '\n';
  line[n + 1] = 0;
  OutputDebugStringA(line);
}

// Time the unit needs to program a block of `bytes`.
constexpr DWORD ProgramWaitMs(uint32_t bytes) { return bytes * 20 / 1000 + 20; }

}  // namespace

bool QX531WinDriverInterface::ProgramFlashImage(DeviceHandle handle, uint32_t partition,
                                                std::span<const uint8_t> image) {
  bool firmware = partition == kFlashPartitionFirmware;
  int failures = 0;
  for (;;) {
    Report(firmware ? "Beginning firmware erase cycle..." : "Beginning FPGA erase cycle...");
    FlashBegin(handle, partition);
    for (int left = kEraseSeconds; left >= 1; --left) {
      Sleep(1000);
      Report("Waiting for Flash erase completion: %d", left);
    }
    bool passFailed = false;
    if (!FlashStatusGood(FlashStatus(handle))) {
      Report("ERROR: Flash Erase error...terminating.");
      Sleep(kErrorPauseMs);
      ++failures;
      passFailed = true;
    } else {
      uint16_t crc = 0;
      uint32_t programmed = 0;
      size_t offset = 0;
      for (;;) {
        auto n = static_cast<uint32_t>(std::min<size_t>(kFlashBlockBytes, image.size() - offset));
        uint32_t padded = (n + 3) & ~3u;
        programmed += n;
        FlashWrite(handle, image.data() + offset, n, &crc);
        offset += n;
        Sleep(ProgramWaitMs(padded));
        uint32_t status = FlashStatus(handle);
        bool blockFailed = false;
        if (!FlashStatusGood(status)) {
          Report("ERROR: Flash Programming error...terminating.");
          Sleep(kErrorPauseMs);
          ++failures;
          blockFailed = true;
        }
        if (FlashStatusCrc(status) == crc) {
          Report("Bytes programmed = %d", static_cast<int>(programmed));
        } else {
          ++failures;
          blockFailed = true;
          Report("Bytes programmed = %d, CRC: computed = %x, returned = %x", static_cast<int>(programmed),
                 static_cast<unsigned>(crc), static_cast<unsigned>(FlashStatusCrc(status)));
        }
        Sleep(kBlockPauseMs);
        if (blockFailed) {
          passFailed = true;
          break;
        }
        if (padded < kFlashBlockBytes) break;
      }
    }
    if (passFailed) {
      Report("ERROR: CRC error during programming...FINISH_PARTITION not executed.");
      Sleep(kErrorPauseMs);
      ++failures;
    } else {
      FlashEnd(handle);
      Sleep(kFinishWaitMs);
      if (FlashStatusGood(FlashStatus(handle))) {
        Report(firmware ? "Firmware update completed." : "FPGA update completed.");
        Sleep(kDonePauseMs);
        return true;
      }
      Report("ERROR: Flash finish partition error...terminating.");
      Sleep(kErrorPauseMs);
      ++failures;
    }
    if (failures >= kFailureLimit) return false;
  }
}

uint32_t QX531WinDriverInterface::UpdateUnit(DeviceHandle handle, const UnitFlashImages& images, bool conditional,
                                             uint32_t armVersion, uint32_t fpgaVersion) {
  SetStreamMaskOf(handle, 0);
  uint32_t programmed = 0;
  if (images.firmware != nullptr && (!conditional || armVersion < images.firmware->version)) {
    ProgramFlashImage(handle, kFlashPartitionFirmware, images.firmware->bytes);
    ++programmed;
  }
  if (images.fpga != nullptr && (!conditional || fpgaVersion < images.fpga->version)) {
    ProgramFlashImage(handle, kFlashPartitionFpga, images.fpga->bytes);
    ++programmed;
  }
  return programmed;
}

uint32_t QX531WinDriverInterface::UpdateUnits(const UnitFlashImages& mainUnit, const UnitFlashImages& expansionUnit,
                                              bool conditional) {
  uint32_t programmed = 0;
  if (mMainHandle != kNoDevice)
    programmed += UpdateUnit(mMainHandle, mainUnit, conditional, mLastSharedState.mArmVersion,
                             mLastSharedState.mFpgaVersion & 0xFF);
  for (uint32_t slot = 0; slot < kMaxExpansionUnits; ++slot) {
    if (mKR6HandleList[slot] == kNoDevice) continue;
    programmed += UpdateUnit(mKR6HandleList[slot], expansionUnit, conditional, mKR6SharedState[slot].mArmVersion,
                             mKR6SharedState[slot].mFpgaVersion);
  }
  if (programmed == 0)
    Report("ERROR: Nothing to update.");
  else
    Restart();
  return programmed;
}

void QX531WinDriverInterface::Restart() {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid))
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
  }
  ExitWindowsEx(EWX_REBOOT, 0);
}
