// The command tail's word becomes the target name and the mailslot path.
#include "tests/relay_fixture.h"

namespace {

struct TailCase {
    const char* name;
    std::string tail;
    const char* targetName;
    const char* mailslotPath;
};

TEST_F(RelayTest, CommandTailGivesDestination) {
    const TailCase cases[] = {
        {"empty", "", "", "\\\\.\\mailslot\\VARDslot"},
        {"blanks only", " \t  \t", "", "\\\\.\\mailslot\\VARDslot"},
        {"leading blanks and more words", "   PC01 and more words", "PC01",
         "\\\\PC01\\mailslot\\VARDslot"},
        {"second word ignored", "PC01 PC02", "PC01", "\\\\PC01\\mailslot\\VARDslot"},
        {"tab ends the word", "PC01\tPC02", "PC01", "\\\\PC01\\mailslot\\VARDslot"},
        {"asterisk", "*", "*", "\\\\*\\mailslot\\VARDslot"},
        {"full stop", ".", ".", "\\\\.\\mailslot\\VARDslot"},
        {"high byte first", "\x80PC01", "", "\\\\.\\mailslot\\VARDslot"},
        {"blanks then high byte", "  \xFFPC01", "", "\\\\.\\mailslot\\VARDslot"},
        {"high byte inside", "ABC\xE9" "DEF", "ABC", "\\\\ABC\\mailslot\\VARDslot"},
        {"0x80 inside", "ABC\x80" "DEF", "ABC", "\\\\ABC\\mailslot\\VARDslot"},
        {"control byte first", "\x01PC01", "", "\\\\.\\mailslot\\VARDslot"},
        {"control byte inside", "PC\x1F" "01", "PC", "\\\\PC\\mailslot\\VARDslot"},
        {"DEL is part of the word", "PC\x7F" "01", "PC\x7F" "01",
         "\\\\PC\x7F" "01\\mailslot\\VARDslot"},
        {"quotes and backslashes kept verbatim", "\"a\\b\"", "\"a\\b\"",
         "\\\\\"a\\b\"\\mailslot\\VARDslot"},
        {"percent kept verbatim", "%s%d", "%s%d", "\\\\%s%d\\mailslot\\VARDslot"},
    };
    for (const TailCase& c : cases) {
        memset(&relayState, 0xAA, sizeof relayState);
        EXPECT_EQ(1, ParseCommandTail(c.tail.c_str(), &relayState)) << c.name;
        EXPECT_STREQ(c.targetName, relayState.targetName) << c.name;
        EXPECT_STREQ(c.mailslotPath, relayState.mailslotPath) << c.name;
    }
}

TEST_F(RelayTest, WordLengthBoundary) {
    struct Case {
        size_t length;
        int accepted;
    };
    const Case cases[] = {{1, 1}, {71, 1}, {72, 1}, {73, 0}, {239, 0}, {259, 0}, {260, 0},
                          {5000, 0}};
    // Guard bytes after the record catch a write past mailslotPath.
    struct Guarded {
        RelayState state;
        unsigned char guard[64];
    };
    static Guarded g;
    for (const Case& c : cases) {
        std::string word(c.length, 'N');
        memset(&g, 0xAA, sizeof g);
        int accepted = ParseCommandTail(("  " + word + " next").c_str(), &g.state);
        EXPECT_EQ(c.accepted, accepted) << c.length;
        if (c.accepted) {
            EXPECT_EQ(word, g.state.targetName) << c.length;
            EXPECT_EQ("\\\\" + word + "\\mailslot\\VARDslot", g.state.mailslotPath) << c.length;
        } else {
            EXPECT_STREQ("", g.state.targetName) << c.length;
            EXPECT_STREQ("", g.state.mailslotPath) << c.length;
            // Nothing past the NUL of either text is touched by a refusal.
            for (int i = kMaxTargetName + 1; i < kTextCapacity; ++i)
                ASSERT_EQ(0xAA, static_cast<unsigned char>(g.state.targetName[i])) << c.length;
            for (int i = 1; i < kTextCapacity; ++i)
                ASSERT_EQ(0xAA, static_cast<unsigned char>(g.state.mailslotPath[i])) << c.length;
        }
        for (unsigned char b : g.guard) ASSERT_EQ(0xAA, b) << c.length;
    }
}

}  // namespace

namespace {

TEST(CommandTailTest, ProgramNameIsSkipped) {
    struct Case {
        const char* line;
        const char* tail;
    };
    const Case cases[] = {
        {"", ""},
        {"vardex.exe", ""},
        {"vardex.exe PC01", "PC01"},
        {"vardex.exe \t  PC01 PC02", "PC01 PC02"},
        {"C:\\bin\\vardex.exe\tPC01", "PC01"},
        {"\"C:\\Program Files\\vardex.exe\" PC01", "PC01"},
        {"\"C:\\Program Files\\vardex.exe\"PC01", "PC01"},
        {"\"C:\\a b\\vardex.exe\"", ""},
        {"\"unterminated name PC01", ""},
        {"\"name\twith tab\" PC01", "with tab\" PC01"},
        {"vardex.exe \"quoted word\"", "\"quoted word\""},
    };
    for (const Case& c : cases) EXPECT_STREQ(c.tail, CommandTailOf(c.line)) << c.line;
}

}  // namespace
