#include "native_window.h"

namespace tarvex {

#ifdef _WIN32

void* DriverDialogOwner(QWidget& window) { return reinterpret_cast<void*>(window.winId()); }

#else

void* DriverDialogOwner(QWidget&) { return nullptr; }

#endif

}  // namespace tarvex
