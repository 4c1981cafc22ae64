// A window system in memory: a tree of windows, and a log of every call the core makes.
#ifndef VARDEX_TESTS_FAKE_WINDOW_SYSTEM_H
#define VARDEX_TESTS_FAKE_WINDOW_SYSTEM_H

#include "platform/window_system.h"

#include <string>
#include <vector>

enum FakeWindowOp {
    kFindWindowA,
    kSendMessageA,
    kEnumChildWindows,
    kGetWindowTextLengthA,
    kGetWindowRect,
    kGetParent,
    kGetWindowTextA,
    kIsWindow,
    kWsprintfA,
    kPostMessageA,
    kRegisterClassA,
    kCreateWindowExA,
    kShowWindow,
    kDestroyWindow,
    kSetTimer,
    kKillTimer,
    kGetMessageA,
    kTranslateMessage,
    kDispatchMessageA,
    kDefWindowProcA,
    kPostQuitMessage,
};

struct FakeWindowCall {
    FakeWindowOp op;
    WindowHandle window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;  // the point of a click, the count of a text read, a timer's period
    char text[32];    // class and title of a lookup or a creation, the format of a formatting call
};

struct FakeWindow {
    WindowHandle parent;
    char className[32];
    char title[32];
    char text[64];
    WindowRect rect;
    bool alive;
    bool unreadable;  // text and rectangle reads fail, as for a window of a hung process
    WindowProcedure procedure;  // of a window made by CreateWindowExA
};

// The log and the windows are plain arrays, so the fake allocates nothing while the core runs.
class FakeWindowSystem final : public WindowSystem {
public:
    static const int kMaxWindows = 4096;
    static const int kMaxCalls = 16384;

    // Runs before every call, with the call's operation; tests use it to change the tree between
    // calls, and may ask the call to fail by returning true.
    typedef bool (*BeforeCall)(FakeWindowSystem* fake, FakeWindowOp op, void* context);
    BeforeCall beforeCall = nullptr;
    void* beforeCallContext = nullptr;

    WindowHandle AddWindow(WindowHandle parent, const char* className, const char* title,
                           const char* text, WindowRect rect);
    // A top-level window of the monitor's class and title.
    WindowHandle AddMonitor(WindowRect rect = {100, 100, 700, 500});
    void SetText(WindowHandle window, const char* text);
    void SetUnreadable(WindowHandle window, bool unreadable);
    // Destroys the window and all its descendants.
    void Destroy(WindowHandle window);

    void ClearLog() { callCount = 0; }
    // Forgets every window, the log, the hook and the message loop's state.
    void Reset() {
        windowCount = 0;
        callCount = 0;
        beforeCall = nullptr;
        beforeCallContext = nullptr;
        classCount = 0;
        queued = 0;
        quitPending = false;
        timerWindow = 0;
        fetches = 0;
    }
    // Puts a message into the loop's queue, as another process's post would.
    void Enqueue(WindowHandle window, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
    int WindowCount() const { return windowCount; }
    static WindowHandle HandleOf(int index) { return kFirstHandle + static_cast<WindowHandle>(index); }
    const FakeWindow* Window(WindowHandle window) const;
    int CallCount() const { return callCount; }
    const FakeWindowCall& Call(int i) const { return calls[i]; }
    // Calls other than text formatting, which is not a window operation.
    int OperationCount() const;
    // One line per call, for comparing with an expected list in one assertion.
    std::vector<std::string> Log() const;
    static std::string Name(WindowHandle window);

    WindowHandle FindWindowA(const char* className, const char* title) override;
    intptr_t SendMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override;
    int EnumChildWindows(WindowHandle parent, EnumChildCallback callback,
                         intptr_t context) override;
    int GetWindowTextLengthA(WindowHandle window) override;
    int GetWindowRect(WindowHandle window, WindowRect* rect) override;
    WindowHandle GetParent(WindowHandle window) override;
    int GetWindowTextA(WindowHandle window, char* buffer, int maxCount) override;
    int IsWindow(WindowHandle window) override;
    int wsprintfA(char* buffer, const char* format, const char* text, int32_t first,
                  int32_t second) override;

    // The message loop in memory: posted messages queue up; with the queue empty a pending quit
    // ends the loop, else a running timer ticks. The timer stands for time passing, so a test
    // ends a run by enqueuing a close from its hook.
    int PostMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                     intptr_t lParam) override;
    uint16_t RegisterClassA(const char* className, WindowProcedure procedure,
                            InstanceHandle instance) override;
    WindowHandle CreateWindowExA(const char* className, const char* title,
                                 InstanceHandle instance) override;
    int ShowWindow(WindowHandle window, int command) override;
    int DestroyWindow(WindowHandle window) override;
    uintptr_t SetTimer(WindowHandle window, uintptr_t id, uint32_t elapse,
                       TimerCallback callback) override;
    int KillTimer(WindowHandle window, uintptr_t id) override;
    int GetMessageA(WindowMessage* message) override;
    int TranslateMessage(const WindowMessage* message) override;
    intptr_t DispatchMessageA(const WindowMessage* message) override;
    intptr_t DefWindowProcA(WindowHandle window, uint32_t message, uintptr_t wParam,
                            intptr_t lParam) override;
    void PostQuitMessage(int exitCode) override;

    // A loop that would never end is ended after this many fetches with exit code 99.
    static const int kMaxFetches = 1000;

    // Handles start away from zero and small integers so that a handle mistaken for a count shows.
    static const WindowHandle kFirstHandle = 0x1000;

private:
    FakeWindow* Find(WindowHandle window);
    // Logs the call and runs the hook; true when the call is to fail.
    bool Record(FakeWindowOp op, WindowHandle window, const char* text = "",
                uint32_t message = 0, uintptr_t wParam = 0, intptr_t lParam = 0);
    void Collect(WindowHandle parent, WindowHandle* out, int* count);
    // What the platform does on its own when a window goes: WM_DESTROY to its procedure.
    void DestroyWithMessage(WindowHandle window);

    FakeWindow windows[kMaxWindows] = {};
    int windowCount = 0;
    FakeWindowCall calls[kMaxCalls] = {};
    int callCount = 0;

    struct FakeClass {
        char name[32];
        WindowProcedure procedure;
    };
    FakeClass classes[4] = {};
    int classCount = 0;
    WindowMessage queue[16] = {};
    int queued = 0;
    bool quitPending = false;
    int quitCode = 0;
    WindowHandle timerWindow = 0;
    uintptr_t timerId = 0;
    TimerCallback timerCallback = nullptr;
    int fetches = 0;
};

#endif
