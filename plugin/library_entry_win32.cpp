// The Windows loader's entry point for the plug-in DLL.
#include <windows.h>

#include "plugin/plugin_context.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  // An unload closes the port even when the host never shut us down; the static destructors
  // run after this and close it (again, harmlessly) too. A non-null `reserved` on detach means
  // the process is ending: its other threads, ours among them, are already gone.
  return vontrel::library_entry(vontrel::plugin_context(), reason, reserved != nullptr);
}
