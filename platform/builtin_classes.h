// The classes the platform itself provides, found by CoGetClassObject after
// the process's own registrations and before the registry. Internal to the
// platform.
#pragma once

#include "platform/guid.h"
#include "platform/types.h"

namespace platform {

// The class object of a platform class, or CLASS_E_CLASSNOTAVAILABLE.
HRESULT GetBuiltInClassObject(REFCLSID clsid, REFIID iid, void** object);

}  // namespace platform
