// A library named like the system's ksuser.dll, built next to the test
// program: the driver must never load it (a library planted beside a host
// program would otherwise run inside every host that loads the driver).
#include <windows.h>

extern "C" __declspec(dllexport) DWORD WINAPI KsCreatePin(HANDLE, void*, ACCESS_MASK, HANDLE*) {
    return 0x7A11;  // no system ever answers this
}
