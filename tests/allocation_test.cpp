// The core allocates nothing: global operator new and malloc are counted around a whole cycle.
#include "tests/relay_fixture.h"

#include <stdlib.h>

#include <new>

static int allocations;
static bool counting;

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __real_realloc(void* p, size_t size);
extern "C" void* __wrap_malloc(size_t size) {
    allocations += counting;
    return __real_malloc(size);
}
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    allocations += counting;
    return __real_calloc(count, size);
}
extern "C" void* __wrap_realloc(void* p, size_t size) {
    allocations += counting;
    return __real_realloc(p, size);
}

void* operator new(size_t size) {
    allocations += counting;
    void* p = __real_malloc(size ? size : 1);
    if (!p) abort();
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

TEST_F(RelayTest, FullCycleAllocatesNothing) {
    StandardMonitor m = AddStandardMonitor();
    allocations = 0;
    counting = true;
    ParseCommandTail("PC01", &relayState);
    PollTick();                    // attach
    PollTick();                    // first report
    windows->SetText(m.mb, "39 degC");
    PollTick();                    // a change
    PollTick();                    // unchanged
    windows->Destroy(m.main);
    PollTick();                    // detach
    PollTick();                    // search without a monitor
    counting = false;
    EXPECT_EQ(0, allocations);
    EXPECT_EQ(2u, mailslots->Datagrams().size());
    // The counter works: the same hooks see an allocation made here.
    counting = true;
    // cppcheck-suppress unusedAllocatedMemory ; the allocation itself is what is counted
    void* volatile p = malloc(8);
    counting = false;
    free(p);
    EXPECT_EQ(1, allocations);
}

}  // namespace
