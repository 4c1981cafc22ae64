// Fuzzes the poll cycle over random window trees: random texts, rectangles and parents, windows
// vanishing between calls, platform calls failing at random.
//
// Every tick must finish, send at most one report, and report only values that some field showed.
#include "core/poll_cycle.h"
#include "core/relay_state.h"
#include "tests/fake_mailslot_client.h"
#include "tests/fake_window_system.h"
#include "tests/fuzz/reference.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

namespace {

FakeWindowSystem* windows = new FakeWindowSystem;
FakeMailslotClient* mailslots = new FakeMailslotClient;

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t Byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    int32_t Int() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
        return static_cast<int32_t>(v);
    }
};

const char* const kTexts[] = {"47 degC", "38 degC", "0 degC ", "", "-3 C   ", "1234567890",
                              "  52 C  ", "46.5 C ", "degC   ", "+7 degC", "99999999",
                              "-9999999", "   \t 1 C", "0000000"};
const int32_t kLeft[] = {380, 381, 0, 7, 379};
const int32_t kTop[] = {92, 218, 0, 3, 217};

std::set<long long> shown;

std::string PickText(Reader& in) {
    uint8_t choice = in.Byte();
    std::string text;
    if (choice < 200) {
        text = kTexts[choice % (sizeof kTexts / sizeof *kTexts)];
    } else {
        for (int i = in.Byte() % 12; i > 0; --i) {
            char c = static_cast<char>(in.Byte());
            if (c == 0) c = '5';
            text += c;
        }
    }
    shown.insert(ReferenceLeadingInteger(text.c_str()));
    return text;
}

WindowHandle RandomWindow(Reader& in) {
    int count = windows->WindowCount();
    return count == 0 ? 0 : FakeWindowSystem::HandleOf(in.Byte() % count);
}

// Decides, call by call, whether a platform call fails or a window vanishes first.
bool Chaos(FakeWindowSystem* fake, FakeWindowOp, void* context) {
    Reader& in = *static_cast<Reader*>(context);
    uint8_t b = in.Byte();
    if (b >= 16 && b < 24) {
        fake->beforeCall = nullptr;  // no hook while the fake changes its own tree
        fake->Destroy(RandomWindow(in));
        fake->beforeCall = Chaos;
    }
    return b < 8;
}

bool ParseReport(const std::string& datagram, const char* name, long long* cpu, long long* mb) {
    if (datagram.empty() || datagram.back() != 0 || datagram.size() > 100) return false;
    std::string text = datagram.substr(0, datagram.size() - 1);
    if (text.find('\0') != std::string::npos) return false;
    std::string head = std::string(name) + " CPU:";
    if (text.compare(0, head.size(), head) != 0) return false;
    char tail[8];
    int consumed = 0;
    if (sscanf(text.c_str() + head.size(), "%lld MB:%lld%n%7s", cpu, mb, &consumed, tail) != 2)
        return false;
    return head.size() + consumed == text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Static, as the fake keeps a pointer to it for the hook between calls.
    static Reader in;
    in = {data, size};
    windows->Reset();
    mailslots->Reset();
    relayWindows = windows;
    relayMailslots = mailslots;
    memset(&relayState, 0, sizeof relayState);
    shown.clear();
    shown.insert(0);  // both values are 0 right after an attach

    static const std::string longest(kMaxTargetName, 'N');
    const char* names[] = {"", "PC01", longest.c_str()};
    const char* name = names[in.Byte() % 3];
    if (!ParseCommandTail(name, &relayState)) abort();

    int count = in.Byte() % 24;
    for (int i = 0; i < count; ++i) {
        uint8_t shape = in.Byte();
        int parentIndex = shape % (i + 1);  // 0: top level, else that earlier window
        WindowHandle parent = parentIndex == 0 ? 0 : FakeWindowSystem::HandleOf(parentIndex - 1);
        const FakeWindow* p = windows->Window(parent);
        WindowRect base = p ? p->rect : WindowRect{0, 0, 0, 0};
        WindowRect rect;
        if (shape & 0x80) {
            rect = {in.Int(), in.Int(), in.Int(), in.Int()};
        } else {
            rect.left = static_cast<int32_t>(static_cast<uint32_t>(base.left) +
                                             static_cast<uint32_t>(kLeft[in.Byte() % 5]));
            rect.top = static_cast<int32_t>(static_cast<uint32_t>(base.top) +
                                            static_cast<uint32_t>(kTop[in.Byte() % 5]));
            // Wrapping, like the offsets above: the core must cope with any coordinates.
            rect.right = static_cast<int32_t>(static_cast<uint32_t>(rect.left) + 20u);
            rect.bottom = static_cast<int32_t>(static_cast<uint32_t>(rect.top) + 20u);
        }
        bool monitor = parent == 0 && (shape & 0x40) == 0;
        std::string text = PickText(in);
        WindowHandle w = windows->AddWindow(parent, monitor ? "TMainForm" : "TLabel",
                                            monitor ? "Asus Probe 2" : "", text.c_str(), rect);
        windows->SetUnreadable(w, (shape & 0x30) == 0x30);
    }

    windows->beforeCall = Chaos;
    windows->beforeCallContext = &in;
    int ticks = in.Byte() % 12 + 1;
    for (int t = 0; t < ticks; ++t) {
        windows->beforeCall = nullptr;
        for (int e = in.Byte() % 3; e > 0; --e) {
            switch (in.Byte() % 4) {
                case 0: windows->Destroy(RandomWindow(in)); break;
                case 1: {
                    WindowHandle w = RandomWindow(in);
                    windows->SetText(w, PickText(in).c_str());
                    break;
                }
                case 2: windows->SetUnreadable(RandomWindow(in), in.Byte() & 1); break;
                case 3: mailslots->refuseOpens = in.Byte() & 1; break;
            }
        }
        windows->beforeCall = Chaos;

        mailslots->ClearLog();
        PollTick();

        int opens = 0;
        int writes = 0;
        for (int i = 0; i < mailslots->CallCount(); ++i) {
            opens += mailslots->Call(i).op == kCreateFileA;
            writes += mailslots->Call(i).op == kWriteFile;
        }
        if (opens > 1 || writes > 1) abort();
        if (writes == 1 && relayState.monitorWindow == 0) abort();
        for (const std::string& datagram : mailslots->Datagrams()) {
            if (getenv("VARDEX_FUZZ_TRACE")) fprintf(stderr, "tick %d: %s\n", t, datagram.c_str());
            long long cpu = 0;
            long long mb = 0;
            if (!ParseReport(datagram, name, &cpu, &mb)) abort();
            if (!shown.count(cpu) || !shown.count(mb)) abort();
        }
        if (relayState.monitorWindow != 0 && relayState.mb.field == 0) abort();
    }
    return 0;
}
