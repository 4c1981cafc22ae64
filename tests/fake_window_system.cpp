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
