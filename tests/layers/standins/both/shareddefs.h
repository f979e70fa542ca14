// A stand-in header registered for both modes, as the GUID type and IUnknown are.
#pragma once
