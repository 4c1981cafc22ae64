// The baseline for the relay's CPU and memory: a hidden window, a 1000 ms timer and a message
// loop, built the same lean way, doing nothing on each tick.
#include <windows.h>

static VOID CALLBACK Nothing(HWND, UINT, UINT_PTR, DWORD) {}

extern "C"
#if defined(__i386__)
    __attribute__((force_align_arg_pointer))
#endif
    void BareEntry() {
    HWND window = CreateWindowExA(0, "STATIC", "bare", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    SetTimer(window, 0, 1000, Nothing);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    ExitProcess(0);
}
