#include <gtest/gtest.h>

#include "platform/win32/ComRegistration.h"
#include "platform/win32/include/windows.h"
#include "tests/asio/AsioMachine.h"

namespace asiotest {

namespace {

// The driver's class id, as its installer writes it.
constexpr GUID kClsid = {0x3CC6396F, 0xD6D9, 0x4101, {0xAC, 0x20, 0xD9, 0xAD, 0x05, 0xEB, 0x16, 0x37}};

}  // namespace

void RegisterDriver() {
  ASSERT_TRUE(plat::win32::RegisterInprocServer(&kClsid, "QX531 Audio", kDriverDll, "Apartment"));
  ASSERT_TRUE(plat::win32::RegisterAsioDriver(kDriverKey, &kClsid, "QX-5310 ASIO driver"));
}

}  // namespace asiotest
