// Fuzzes report texts and their datagrams with extreme values and the longest accepted names.
#include "core/reading.h"
#include "tests/fake_mailslot_client.h"
#include "tests/fake_window_system.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static FakeWindowSystem* windows = new FakeWindowSystem;
static FakeMailslotClient* mailslots = new FakeMailslotClient;

static int32_t Value(const uint8_t* bytes) {
    static const int32_t extremes[] = {-99999999, 999999999, 0, -1, 1, 9, 10, -9, -10, 99, 100,
                                       INT32_MIN, INT32_MAX, 1000000000, -100000000};
    int32_t raw;
    memcpy(&raw, bytes, 4);
    if ((raw & 3) == 0) return extremes[static_cast<uint32_t>(raw >> 2) % 15];
    return raw;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    relayWindows = windows;
    relayMailslots = mailslots;
    windows->ClearLog();
    mailslots->ClearLog();

    int32_t cpu = Value(data);
    int32_t mb = Value(data + 4);
    // Name bytes are folded into the word range; the length byte reaches past the longest
    // accepted name so that refusals are exercised too.
    size_t length = data[8] % 80;
    std::string name;
    for (size_t i = 0; i < length; ++i)
        name += static_cast<char>(0x21 + (i + 9 < size ? data[i + 9] : 'N') % 0x5F);

    // An exactly sized buffer, so that a write past it is caught.
    char* report = static_cast<char*>(malloc(kReportCapacity));
    int written = FormatReport(name.c_str(), cpu, mb, report);

    bool fits = name.size() <= static_cast<size_t>(kMaxTargetName) && cpu >= -99999999 &&
                cpu <= 999999999 && mb >= -99999999 && mb <= 999999999;
    if (!fits) {
        if (written != 0 || report[0] != 0) abort();
        free(report);
        return 0;
    }
    char expected[256];
    snprintf(expected, sizeof expected, "%s CPU:%02d MB:%02d", name.c_str(), cpu, mb);
    if (strcmp(expected, report) != 0 || written != static_cast<int>(strlen(expected))) abort();
    if (written > kReportCapacity - 1) abort();

    SendToMailslot("\\\\.\\mailslot\\VARDslot", report);
    const std::string datagram = mailslots->Datagrams().at(0);
    if (datagram != std::string(expected) + '\0' || datagram.size() > 100) abort();
    free(report);
    return 0;
}
