// The entry the loader calls in a driver image, with the driver object and its service key's
// registry path; the one name a driver image exports.
#pragma once

#include "ImageExport.h"
#include "Irp.h"

extern "C" QX_IMAGE_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
