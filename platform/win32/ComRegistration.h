// What an installer writes so that COM and ASIO hosts find an in-process server; servers here do
// not register themselves.
#pragma once

#include <string>

namespace plat::win32 {

// The class under HKLM\SOFTWARE\Classes\CLSID\{clsid}: its default value `name`, and InprocServer32
// with the DLL's path and its threading model.
bool RegisterInprocServer(const void* clsid, const std::string& name, const std::string& dllPath,
                          const std::string& threadingModel);
// An ASIO driver as ASIO hosts list them: HKLM\SOFTWARE\ASIO\<driverName> with "CLSID" (the
// class id's text) and "Description".
bool RegisterAsioDriver(const std::string& driverName, const void* clsid, const std::string& description);

}  // namespace plat::win32
