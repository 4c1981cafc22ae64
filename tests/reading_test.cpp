// Field texts and the change rule, report texts, and the datagram each report becomes.
#include "tests/relay_fixture.h"

namespace {

class ReadingTest : public RelayTest {
protected:
    void SetUp() override {
        RelayTest::SetUp();
        monitor = windows->AddMonitor();
        field = windows->AddWindow(monitor, "TLabel", "", "", {0, 0, 10, 10});
    }
    WindowHandle monitor = 0;
    WindowHandle field = 0;
};

TEST_F(ReadingTest, FieldTextAndChangeRule) {
    struct Case {
        const char* text;
        int32_t lastBefore;
        int32_t changedBefore;
        int32_t lastAfter;
        int32_t changedAfter;
    };
    const Case cases[] = {
        {"47 degC", 46, 0, 47, 1},
        {"46.5", 46, 1, 46, 0},
        {"  52", 46, 0, 52, 1},
        {"\t\n\v\f\r 53", 46, 0, 53, 1},
        {"-3", 46, 0, -3, 1},
        {"+48", 46, 0, 48, 1},
        {"0", 46, 1, 46, 0},
        {"-0", 46, 1, 46, 0},
        {"degC", 46, 1, 46, 0},
        {"+", 46, 1, 46, 0},
        {"- 5", 46, 1, 46, 0},
        {"++5", 46, 1, 46, 0},
        {"46", 46, 1, 46, 0},
        {"007", 46, 0, 7, 1},
        {"1234567890", 46, 0, 123456789, 1},
        {"-12345678", 46, 0, -12345678, 1},
        {"-123456789", 46, 0, -12345678, 1},
        {"999999999", 0, 0, 999999999, 1},
        {"5", 0, 0, 5, 1},
    };
    for (const Case& c : cases) {
        windows->SetText(field, c.text);
        ReadingSlot slot = {field, c.lastBefore, c.changedBefore};
        UpdateReadingSlot(&slot);
        EXPECT_EQ(field, slot.field) << c.text;
        EXPECT_EQ(c.lastAfter, slot.lastValue) << c.text;
        EXPECT_EQ(c.changedAfter, slot.changed) << c.text;
    }
}

TEST_F(ReadingTest, ReadOfNothingLeavesSlotAsItWas) {
    WindowHandle gone = windows->AddWindow(monitor, "TLabel", "", "51", {0, 0, 1, 1});
    windows->Destroy(gone);
    WindowHandle hung = windows->AddWindow(monitor, "TLabel", "", "51", {0, 0, 1, 1});
    windows->SetUnreadable(hung, true);
    const WindowHandle fields[] = {field /* empty text */, 0, gone, hung, 0xDEAD};
    for (WindowHandle f : fields) {
        for (int32_t changed = 0; changed <= 1; ++changed) {
            ReadingSlot slot = {f, 46, changed};
            UpdateReadingSlot(&slot);
            EXPECT_EQ(f, slot.field);
            EXPECT_EQ(46, slot.lastValue);
            EXPECT_EQ(changed, slot.changed) << "field " << f;
        }
    }
}

TEST_F(ReadingTest, AsksForTenBytes) {
    windows->SetText(field, "12");
    ReadingSlot slot = {field, 0, 0};
    windows->ClearLog();
    UpdateReadingSlot(&slot);
    EXPECT_EQ(std::vector<std::string>{"GetWindowTextA(" + FakeWindowSystem::Name(field) + ",10)"},
              windows->Log());
}

TEST_F(RelayTest, ReportTexts) {
    struct Case {
        const char* target;
        int32_t cpu;
        int32_t mb;
        const char* text;
    };
    const Case cases[] = {
        {"PC01", 47, 38, "PC01 CPU:47 MB:38"},
        {"", 5, 0, " CPU:05 MB:00"},
        {"PC01", -3, 38, "PC01 CPU:-3 MB:38"},
        {"PC01", -12, 7, "PC01 CPU:-12 MB:07"},
        {".", 100, 99, ". CPU:100 MB:99"},
        {"*", 999999999, -99999999, "* CPU:999999999 MB:-99999999"},
    };
    for (const Case& c : cases) {
        char buffer[kReportCapacity];
        int length = FormatReport(c.target, c.cpu, c.mb, buffer);
        EXPECT_STREQ(c.text, buffer) << c.text;
        EXPECT_EQ(static_cast<int>(strlen(c.text)), length) << c.text;
    }
}

TEST_F(RelayTest, WidestReportFitsItsBuffer) {
    // The longest accepted name with the widest values fills the buffer to its last byte.
    std::string name(kMaxTargetName, 'N');
    struct Guarded {
        char buffer[kReportCapacity];
        unsigned char guard[32];
    } g;
    memset(&g, 0xAA, sizeof g);
    EXPECT_EQ(99, FormatReport(name.c_str(), -99999999, -99999999, g.buffer));
    EXPECT_EQ(name + " CPU:-99999999 MB:-99999999", g.buffer);
    for (unsigned char b : g.guard) ASSERT_EQ(0xAA, b);

    // What could not fit is refused whole rather than written past the buffer.
    const std::string longer(kMaxTargetName + 1, 'N');
    EXPECT_EQ(0, FormatReport(longer.c_str(), 1, 1, g.buffer));
    EXPECT_STREQ("", g.buffer);
    EXPECT_EQ(0, FormatReport(name.c_str(), 1000000000, 1, g.buffer));
    EXPECT_EQ(0, FormatReport(name.c_str(), 1, -100000000, g.buffer));
    for (unsigned char b : g.guard) ASSERT_EQ(0xAA, b);
}

TEST_F(RelayTest, ReportIsOneDatagramWithItsNul) {
    struct Case {
        const char* text;
        size_t bytes;
    };
    const Case cases[] = {{"PC01 CPU:47 MB:38", 18}, {" CPU:05 MB:00", 14}};
    for (const Case& c : cases) {
        mailslots->ClearLog();
        SendToMailslot("\\\\PC01\\mailslot\\VARDslot", c.text);
        ASSERT_EQ(3, mailslots->CallCount()) << c.text;
        const FakeMailslotCall& open = mailslots->Call(0);
        EXPECT_EQ(kCreateFileA, open.op);
        EXPECT_STREQ("\\\\PC01\\mailslot\\VARDslot", open.path);
        EXPECT_EQ(GENERIC_WRITE, open.access);
        EXPECT_EQ(FILE_SHARE_READ, open.share);
        EXPECT_EQ(nullptr, open.security);
        EXPECT_EQ(OPEN_EXISTING, open.disposition);
        EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, open.attributes);
        EXPECT_EQ(0u, open.templateFile);

        const FakeMailslotCall& write = mailslots->Call(1);
        EXPECT_EQ(kWriteFile, write.op);
        EXPECT_EQ(open.handle, write.handle);
        EXPECT_EQ(c.bytes, write.count);
        EXPECT_EQ(std::string(c.text, c.bytes), mailslots->Datagrams()[0]);
        EXPECT_TRUE(write.writtenGiven);
        EXPECT_FALSE(write.overlappedGiven);

        EXPECT_EQ(kCloseHandle, mailslots->Call(2).op);
        EXPECT_EQ(open.handle, mailslots->Call(2).handle);
    }
}

TEST_F(RelayTest, RefusedOpenDropsReport) {
    mailslots->refuseOpens = true;
    SendToMailslot("\\\\.\\mailslot\\VARDslot", "PC01 CPU:47 MB:38");
    ASSERT_EQ(1, mailslots->CallCount());
    EXPECT_EQ(kCreateFileA, mailslots->Call(0).op);
    EXPECT_TRUE(mailslots->Datagrams().empty());
}

}  // namespace
