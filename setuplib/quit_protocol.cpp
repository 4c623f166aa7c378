// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "setuplib.h"

DWORD CloseMonitorApplications(HINSTANCE) { return SETUP_STATUS_OK; }
DWORD RunQuitWindow(HINSTANCE) { return SETUP_STATUS_OK; }
LRESULT CALLBACK QuitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) { return DefWindowProcA(window, message, wParam, lParam); }
BOOL HandleQuitReply(HWND, UINT, WPARAM) { return FALSE; }
BOOL BroadcastQuitQuery(HWND) { return FALSE; }
