// Windows only. The addon imports Node-API from "node.exe" through a
// delay-load import library; an application embedding Node under another
// name (an Electron app's own executable) exports the same functions, so the
// import is bound to the executable that loaded us, whatever it is called.

#include <windows.h>
// windows.h first: delayimp.h uses its types.
#include <delayimp.h>

#include <cstring>

namespace {

FARPROC WINAPI bind_to_host(unsigned notify, PDelayLoadInfo info) {
  if (notify != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) return nullptr;
  if (_stricmp(info->szDll, "node.exe") != 0) return nullptr;
  return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
}

}  // namespace

// Declared extern "C" by delayimp.h; this definition replaces the runtime's empty one.
PfnDliHook __pfnDliNotifyHook2 = bind_to_host;
