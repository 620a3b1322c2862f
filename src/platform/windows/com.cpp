// COM on Windows is the system's own (ole32): the apartment, the class-object
// table and IUnknown/IClassFactory come from the SDK, so this port adds
// nothing beyond what platform/com.h declares for every port.
#include "platform/com.h"
