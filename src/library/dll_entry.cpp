// Windows calls an entry point on every thread start and exit unless told otherwise; the library keeps
// no per-thread state, so it opts out. The kernels are built by static initialisation, which the C
// runtime runs around this entry point, not by it.
#ifdef _WIN32

#include <windows.h>

// C linkage: the C runtime's DLL start-up code calls DllMain by its unmangled name.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

#endif  // _WIN32
