// probe-standin: a stand-in for the hardware monitor, with its window, its clicks and its fields.
//
// Opens a top-level window of class "TMainForm" titled "Asus Probe 2" with a panel that holds a
// CPU and an MB reading field (static controls, so another process can read their text). Every
// mouse click the window receives is printed; lines on standard input change the readings:
//   cpu N | mb N            show N as "%5d C" (7 characters)
//   cputext T | mbtext T    show the text T as it stands (the rest of the line)
//   hang MS                 stop answering messages for MS milliseconds
//   children N              add N descendant windows in nested panels
//   quit                    close the window and exit (end of input does the same)
// Options: --cpu N --mb N for the first readings (default 47 and 38); --hang-on-click MS stops
// answering for MS milliseconds at the first click; --quit-on-click destroys the window at the
// first click, as a monitor closing during the relay's search would.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const UINT kHangMessage = WM_APP + 1;
static const UINT kChildrenMessage = WM_APP + 2;

static HWND mainWindow;
static HWND panel;
static HWND cpuField;
static HWND mbField;
static int extraWindows;
static int hangOnClick;
static bool quitOnClick;
static bool clicked;

static void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

static HWND AddStatic(HWND parent, const char* text, int x, int y, int width, int height) {
    return CreateWindowExA(0, "STATIC", text, WS_CHILD | WS_VISIBLE, x, y, width, height, parent,
                           nullptr, GetModuleHandleA(nullptr), nullptr);
}

static void ShowValue(HWND field, const char* name, int value) {
    char text[32];
    snprintf(text, sizeof text, "%5d C", value);
    SetWindowTextA(field, text);
    Say("set %s \"%s\"\n", name, text);
}

static void ShowText(HWND field, const char* name, const char* text) {
    SetWindowTextA(field, text);
    Say("set %s \"%s\"\n", name, text);
}

// Panels nested ten deep, each holding labels, so the relay's enumeration walks a deep tree.
static void AddChildren(int count) {
    HWND parent = panel;
    for (int i = 0; i < count; ++i) {
        if (i % 10 == 0) parent = panel;
        HWND w = AddStatic(parent, i % 3 == 0 ? "38 degC" : "label", 2 + i % 7, 2 + i % 5, 4, 4);
        if (i % 4 == 0 && w) parent = w;
        if (w) ++extraWindows;
    }
    Say("children %d\n", extraWindows);
}

static LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
            Say("click %s %d,%d keys=%u\n", message == WM_LBUTTONDOWN ? "down" : "up",
                static_cast<int>(static_cast<short>(LOWORD(lParam))),
                static_cast<int>(static_cast<short>(HIWORD(lParam))),
                static_cast<unsigned>(wParam));
            if (!clicked) {
                clicked = true;
                if (hangOnClick > 0) {
                    Say("hanging %d ms\n", hangOnClick);
                    Sleep(static_cast<DWORD>(hangOnClick));
                    Say("answering again\n");
                }
                if (quitOnClick) DestroyWindow(window);
            }
            return 0;
        case kHangMessage:
            Say("hanging %u ms\n", static_cast<unsigned>(wParam));
            Sleep(static_cast<DWORD>(wParam));
            Say("answering again\n");
            return 0;
        case kChildrenMessage:
            AddChildren(static_cast<int>(wParam));
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static DWORD WINAPI ReadCommands(void*) {
    char line[512];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        char* argument = strchr(line, ' ');
        if (argument) *argument++ = 0;
        const char* rest = argument ? argument : "";
        if (strcmp(line, "cpu") == 0) {
            ShowValue(cpuField, "cpu", atoi(rest));
        } else if (strcmp(line, "mb") == 0) {
            ShowValue(mbField, "mb", atoi(rest));
        } else if (strcmp(line, "cputext") == 0) {
            ShowText(cpuField, "cpu", rest);
        } else if (strcmp(line, "mbtext") == 0) {
            ShowText(mbField, "mb", rest);
        } else if (strcmp(line, "hang") == 0) {
            PostMessageA(mainWindow, kHangMessage, static_cast<WPARAM>(atoi(rest)), 0);
        } else if (strcmp(line, "children") == 0) {
            SendMessageA(mainWindow, kChildrenMessage, static_cast<WPARAM>(atoi(rest)), 0);
        } else if (strcmp(line, "quit") == 0) {
            break;
        } else if (line[0] != 0) {
            Say("unknown command %s\n", line);
        }
    }
    PostMessageA(mainWindow, WM_CLOSE, 0, 0);
    return 0;
}

int main(int argc, char** argv) {
    int cpu = 47;
    int mb = 38;
    for (int i = 1; i < argc; ++i) {
        const char* value = i + 1 < argc ? argv[i + 1] : "0";
        if (strcmp(argv[i], "--cpu") == 0) cpu = atoi(value);
        if (strcmp(argv[i], "--mb") == 0) mb = atoi(value);
        if (strcmp(argv[i], "--hang-on-click") == 0) hangOnClick = atoi(value);
        if (strcmp(argv[i], "--quit-on-click") == 0) quitOnClick = true;
    }

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = MainProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TMainForm";
    RegisterClassA(&windowClass);
    mainWindow = CreateWindowExA(0, "TMainForm", "Asus Probe 2", WS_OVERLAPPEDWINDOW, 40, 40, 800,
                                 600, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!mainWindow) {
        Say("cannot create the window (error %lu)\n", GetLastError());
        return 2;
    }
    // Fields sit at left offsets 380 (CPU) and 381 (MB) inside a borderless panel; the labels
    // beside them have 7 or 8 characters too but sit elsewhere, so position decides.
    panel = AddStatic(mainWindow, "", 16, 48, 720, 420);
    AddStatic(panel, "CPU Temp", 200, 20, 120, 20);
    AddStatic(panel, "MB Temp", 200, 60, 120, 20);
    cpuField = AddStatic(panel, "", 380, 20, 80, 20);
    mbField = AddStatic(panel, "", 381, 60, 80, 20);
    ShowValue(cpuField, "cpu", cpu);
    ShowValue(mbField, "mb", mb);
    ShowWindow(mainWindow, SW_SHOWNOACTIVATE);
    Say("ready\n");

    CloseHandle(CreateThread(nullptr, 0, ReadCommands, nullptr, 0, nullptr));
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    Say("closed\n");
    return 0;
}
