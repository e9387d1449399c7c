// vexaasioconfig.exe: the settings dialog "ASIO Settings". The driver starts
// it with its own path as the only argument; it takes no other.
#include <windows.h>

#include "panel/panel_program.h"
#include "panel/win32/win32_panel_view.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    Win32PanelView view(instance);
    return runPanelProgram(view);
}
