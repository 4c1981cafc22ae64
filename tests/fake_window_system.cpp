// The in-memory window system the core tests run against.
#include "tests/fake_window_system.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static void CopyText(char* to, size_t capacity, const char* from) {
    snprintf(to, capacity, "%s", from ? from : "");
}

WindowHandle FakeWindowSystem::AddWindow(WindowHandle parent, const char* className,
                                         const char* title, const char* text, WindowRect rect) {
    if (windowCount == kMaxWindows) return 0;
    FakeWindow& w = windows[windowCount];
    w.parent = parent;
    CopyText(w.className, sizeof w.className, className);
    CopyText(w.title, sizeof w.title, title);
    CopyText(w.text, sizeof w.text, text);
    w.rect = rect;
    w.alive = true;
    w.unreadable = false;
    w.procedure = nullptr;
    return kFirstHandle + static_cast<WindowHandle>(windowCount++);
}

WindowHandle FakeWindowSystem::AddMonitor(WindowRect rect) {
    return AddWindow(0, "TMainForm", "Asus Probe 2", "Asus Probe 2", rect);
}

FakeWindow* FakeWindowSystem::Find(WindowHandle window) {
    if (window < kFirstHandle || window >= kFirstHandle + static_cast<WindowHandle>(windowCount))
        return nullptr;
    FakeWindow* w = &windows[window - kFirstHandle];
    return w->alive ? w : nullptr;
}

const FakeWindow* FakeWindowSystem::Window(WindowHandle window) const {
    return const_cast<FakeWindowSystem*>(this)->Find(window);
}

void FakeWindowSystem::SetText(WindowHandle window, const char* text) {
    if (FakeWindow* w = Find(window)) CopyText(w->text, sizeof w->text, text);
}

void FakeWindowSystem::SetUnreadable(WindowHandle window, bool unreadable) {
    if (FakeWindow* w = Find(window)) w->unreadable = unreadable;
}

void FakeWindowSystem::Destroy(WindowHandle window) {
    FakeWindow* w = Find(window);
    if (!w) return;
    w->alive = false;
    for (int i = 0; i < windowCount; ++i) {
        if (windows[i].alive && windows[i].parent == window) Destroy(kFirstHandle + i);
    }
}

bool FakeWindowSystem::Record(FakeWindowOp op, WindowHandle window, const char* text,
                              uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (callCount < kMaxCalls) {
        FakeWindowCall& c = calls[callCount++];
        c.op = op;
        c.window = window;
        c.message = message;
        c.wParam = wParam;
        c.lParam = lParam;
        CopyText(c.text, sizeof c.text, text);
    }
    return beforeCall != nullptr && beforeCall(this, op, beforeCallContext);
}

int FakeWindowSystem::OperationCount() const {
    int n = 0;
    for (int i = 0; i < callCount; ++i) n += calls[i].op != kWsprintfA;
    return n;
}

std::string FakeWindowSystem::Name(WindowHandle window) {
    char name[32];
    snprintf(name, sizeof name, "w%lu", static_cast<unsigned long>(window));
    return window == 0 ? "0" : name;
}

std::vector<std::string> FakeWindowSystem::Log() const {
    std::vector<std::string> lines;
    for (int i = 0; i < callCount; ++i) {
        const FakeWindowCall& c = calls[i];
        std::string w = Name(c.window);
        char line[128];
        switch (c.op) {
            case kFindWindowA: snprintf(line, sizeof line, "FindWindowA(%s)", c.text); break;
            case kSendMessageA:
                snprintf(line, sizeof line, "SendMessageA(%s,0x%04X,%lu,0x%08lX)", w.c_str(),
                         c.message, static_cast<unsigned long>(c.wParam),
                         static_cast<unsigned long>(c.lParam));
                break;
            case kEnumChildWindows: snprintf(line, sizeof line, "EnumChildWindows(%s)", w.c_str()); break;
            case kGetWindowTextLengthA: snprintf(line, sizeof line, "GetWindowTextLengthA(%s)", w.c_str()); break;
            case kGetWindowRect: snprintf(line, sizeof line, "GetWindowRect(%s)", w.c_str()); break;
            case kGetParent: snprintf(line, sizeof line, "GetParent(%s)", w.c_str()); break;
            case kGetWindowTextA:
                snprintf(line, sizeof line, "GetWindowTextA(%s,%ld)", w.c_str(), static_cast<long>(c.lParam));
                break;
            case kIsWindow: snprintf(line, sizeof line, "IsWindow(%s)", w.c_str()); break;
            case kWsprintfA: snprintf(line, sizeof line, "wsprintfA(%s)", c.text); break;
            case kPostMessageA:
                snprintf(line, sizeof line, "PostMessageA(%s,0x%04X,%lu,%ld)", w.c_str(), c.message,
                         static_cast<unsigned long>(c.wParam), static_cast<long>(c.lParam));
                break;
            case kRegisterClassA: snprintf(line, sizeof line, "RegisterClassA(%s)", c.text); break;
            case kCreateWindowExA: snprintf(line, sizeof line, "CreateWindowExA(%s)", c.text); break;
            case kShowWindow:
                snprintf(line, sizeof line, "ShowWindow(%s,%lu)", w.c_str(),
                         static_cast<unsigned long>(c.wParam));
                break;
            case kDestroyWindow: snprintf(line, sizeof line, "DestroyWindow(%s)", w.c_str()); break;
            case kSetTimer:
                snprintf(line, sizeof line, "SetTimer(%s,%lu,%ld)", w.c_str(),
                         static_cast<unsigned long>(c.wParam), static_cast<long>(c.lParam));
                break;
            case kKillTimer:
                snprintf(line, sizeof line, "KillTimer(%s,%lu)", w.c_str(),
                         static_cast<unsigned long>(c.wParam));
                break;
            case kGetMessageA: snprintf(line, sizeof line, "GetMessageA"); break;
            case kTranslateMessage: snprintf(line, sizeof line, "TranslateMessage(0x%04X)", c.message); break;
            case kDispatchMessageA:
                snprintf(line, sizeof line, "DispatchMessageA(%s,0x%04X)", w.c_str(), c.message);
                break;
            case kDefWindowProcA:
                snprintf(line, sizeof line, "DefWindowProcA(%s,0x%04X)", w.c_str(), c.message);
                break;
            case kPostQuitMessage:
                snprintf(line, sizeof line, "PostQuitMessage(%lu)", static_cast<unsigned long>(c.wParam));
                break;
        }
        lines.push_back(line);
    }
    return lines;
}

WindowHandle FakeWindowSystem::FindWindowA(const char* className, const char* title) {
    char key[32];
    snprintf(key, sizeof key, "%s,%s", className, title ? title : "*");
    if (Record(kFindWindowA, 0, key)) return 0;
    for (int i = 0; i < windowCount; ++i) {
        const FakeWindow& w = windows[i];
        if (w.alive && w.parent == 0 && strcmp(w.className, className) == 0 &&
            (title == nullptr || strcmp(w.title, title) == 0)) {
            return kFirstHandle + i;
        }
    }
    return 0;
}

intptr_t FakeWindowSystem::SendMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                                        intptr_t lParam) {
    Record(kSendMessageA, window, "", message, wParam, lParam);
    return 0;
}

void FakeWindowSystem::Collect(WindowHandle parent, WindowHandle* out, int* count) {
    for (int i = 0; i < windowCount; ++i) {
        if (windows[i].alive && windows[i].parent == parent) {
            out[(*count)++] = kFirstHandle + i;
            Collect(kFirstHandle + i, out, count);
        }
    }
}

int FakeWindowSystem::EnumChildWindows(WindowHandle parent, EnumChildCallback callback,
                                       intptr_t context) {
    if (Record(kEnumChildWindows, parent) || !Find(parent)) return 0;
    // Like the platform, take the list of descendants first and skip those gone by their turn.
    static WindowHandle list[kMaxWindows];
    int count = 0;
    Collect(parent, list, &count);
    for (int i = 0; i < count; ++i) {
        if (Find(list[i]) && callback(list[i], context) == 0) break;
    }
    return 1;
}

int FakeWindowSystem::GetWindowTextLengthA(WindowHandle window) {
    if (Record(kGetWindowTextLengthA, window)) return 0;
    FakeWindow* w = Find(window);
    return w && !w->unreadable ? static_cast<int>(strlen(w->text)) : 0;
}

int FakeWindowSystem::GetWindowRect(WindowHandle window, WindowRect* rect) {
    if (Record(kGetWindowRect, window)) return 0;
    FakeWindow* w = Find(window);
    if (!w || w->unreadable) return 0;
    *rect = w->rect;
    return 1;
}

WindowHandle FakeWindowSystem::GetParent(WindowHandle window) {
    if (Record(kGetParent, window)) return 0;
    FakeWindow* w = Find(window);
    return w ? w->parent : 0;
}

int FakeWindowSystem::GetWindowTextA(WindowHandle window, char* buffer, int maxCount) {
    bool fail = Record(kGetWindowTextA, window, "", 0, 0, maxCount);
    if (maxCount <= 0) return 0;
    buffer[0] = 0;
    FakeWindow* w = Find(window);
    if (fail || !w || w->unreadable) return 0;
    int n = static_cast<int>(strlen(w->text));
    if (n > maxCount - 1) n = maxCount - 1;
    memcpy(buffer, w->text, n);
    buffer[n] = 0;
    return n;
}

int FakeWindowSystem::IsWindow(WindowHandle window) {
    if (Record(kIsWindow, window)) return 0;
    return Find(window) != nullptr;
}

int FakeWindowSystem::wsprintfA(char* buffer, const char* format, const char* text,
                                int32_t first, int32_t second) {
    Record(kWsprintfA, 0, format);
    // wsprintfA knows no buffer size and writes up to 1024 bytes; so does this, which lets the
    // sanitizers see any report or path that would not fit the caller's buffer.
    return snprintf(buffer, 1025, format, text, first, second);
}

int FakeWindowSystem::PostMessageA(WindowHandle window, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam) {
    if (Record(kPostMessageA, window, "", message, wParam, lParam)) return 0;
    return Find(window) != nullptr;
}

uint16_t FakeWindowSystem::RegisterClassA(const char* className, WindowProcedure procedure,
                                          InstanceHandle) {
    if (Record(kRegisterClassA, 0, className) || classCount == 4) return 0;
    CopyText(classes[classCount].name, sizeof classes[classCount].name, className);
    classes[classCount].procedure = procedure;
    return static_cast<uint16_t>(0xC000 + classCount++);
}

WindowHandle FakeWindowSystem::CreateWindowExA(const char* className, const char* title,
                                               InstanceHandle) {
    char key[32];
    snprintf(key, sizeof key, "%s,%s", className, title);
    if (Record(kCreateWindowExA, 0, key)) return 0;
    for (int i = 0; i < classCount; ++i) {
        if (strcmp(classes[i].name, className) != 0) continue;
        WindowHandle window = AddWindow(0, className, title, title, {0, 0, 0, 0});
        if (window != 0) windows[window - kFirstHandle].procedure = classes[i].procedure;
        return window;
    }
    return 0;  // no such class
}

int FakeWindowSystem::ShowWindow(WindowHandle window, int command) {
    Record(kShowWindow, window, "", 0, static_cast<uintptr_t>(command));
    return 0;
}

void FakeWindowSystem::DestroyWithMessage(WindowHandle window) {
    FakeWindow* w = Find(window);
    if (!w) return;
    WindowProcedure procedure = w->procedure;
    if (procedure) procedure(window, WM_DESTROY, 0, 0);
    Destroy(window);
    if (timerWindow == window) timerWindow = 0;
}

int FakeWindowSystem::DestroyWindow(WindowHandle window) {
    if (Record(kDestroyWindow, window) || !Find(window)) return 0;
    DestroyWithMessage(window);
    return 1;
}

uintptr_t FakeWindowSystem::SetTimer(WindowHandle window, uintptr_t id, uint32_t elapse,
                                     TimerCallback callback) {
    if (Record(kSetTimer, window, "", 0, id, elapse) || !Find(window)) return 0;
    timerWindow = window;
    timerId = id;
    timerCallback = callback;
    return 1;
}

int FakeWindowSystem::KillTimer(WindowHandle window, uintptr_t id) {
    Record(kKillTimer, window, "", 0, id);
    if (timerWindow != window || timerId != id || window == 0) return 0;
    timerWindow = 0;
    return 1;
}

void FakeWindowSystem::Enqueue(WindowHandle window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) {
    if (queued == 16) return;
    queue[queued++] = {window, message, wParam, lParam, 0, 0, 0};
}

int FakeWindowSystem::GetMessageA(WindowMessage* message) {
    if (Record(kGetMessageA, 0)) return -1;
    if (++fetches > kMaxFetches) {
        *message = {0, WM_QUIT, 99, 0, 0, 0, 0};
        return 0;
    }
    if (queued > 0) {
        *message = queue[0];
        memmove(queue, queue + 1, sizeof queue[0] * --queued);
        return 1;
    }
    if (quitPending) {
        quitPending = false;
        *message = {0, WM_QUIT, static_cast<uintptr_t>(quitCode), 0, 0, 0, 0};
        return 0;
    }
    if (timerWindow != 0) {
        *message = {timerWindow, WM_TIMER, timerId, 0, 0, 0, 0};
        return 1;
    }
    // A real loop would wait for ever here.
    *message = {0, WM_QUIT, 99, 0, 0, 0, 0};
    return 0;
}

int FakeWindowSystem::TranslateMessage(const WindowMessage* message) {
    Record(kTranslateMessage, 0, "", message->message);
    return 0;
}

intptr_t FakeWindowSystem::DispatchMessageA(const WindowMessage* message) {
    Record(kDispatchMessageA, message->window, "", message->message);
    if (message->message == WM_TIMER && timerCallback != nullptr &&
        message->window == timerWindow) {
        timerCallback();
        return 0;
    }
    FakeWindow* w = Find(message->window);
    if (!w || !w->procedure) return 0;
    return w->procedure(message->window, message->message, message->wParam, message->lParam);
}

intptr_t FakeWindowSystem::DefWindowProcA(WindowHandle window, uint32_t message, uintptr_t wParam,
                                          intptr_t lParam) {
    Record(kDefWindowProcA, window, "", message, wParam, lParam);
    // Default handling of a close request destroys the window.
    if (message == WM_CLOSE) DestroyWithMessage(window);
    return 0;
}

void FakeWindowSystem::PostQuitMessage(int exitCode) {
    Record(kPostQuitMessage, 0, "", 0, static_cast<uintptr_t>(exitCode));
    quitPending = true;
    quitCode = exitCode;
}
