// The bridge's command line: split into words as Windows programs do, then parsed and checked
// into one configuration record. Nothing here reads the environment or a file; the entry does
// that for the password and the computer name and hands them in.
#ifndef VARDEX_BRIDGE_CORE_BRIDGE_CONFIG_H
#define VARDEX_BRIDGE_CORE_BRIDGE_CONFIG_H

#include <stdint.h>

const int kRolePublish = 1;
const int kRoleDeliver = 2;

// Limits that keep every topic and packet in fixed buffers. A Windows computer name has at most
// 15 characters; a relay's word at most 72.
const uint32_t kMaxHost = 255;
const uint32_t kMaxName = 64;
const uint32_t kMaxPrefix = 128;
const uint32_t kMaxHead = 72;
const uint32_t kMaxUser = 128;
const uint32_t kMaxPassword = 256;
const uint32_t kMaxPath = 260;

struct BridgeConfig {
    int role;
    char host[kMaxHost + 1];
    uint16_t port;
    char name[kMaxName + 1];  // empty until given or set from the computer name
    char from[kMaxName + 1];  // deliver: whose reports, or "+" for anyone's
    char prefix[kMaxPrefix + 1];
    int discovery;   // publish: Home Assistant discovery on
    int fahrenheit;  // publish: the unit the monitor shows
    char head[kMaxHead + 1];  // deliver: the leading word to put on reports; empty keeps theirs
    char user[kMaxUser + 1];
    int hasUser;
    char passwordEnv[kMaxPath + 1];   // where the password comes from, if from anywhere
    char passwordFile[kMaxPath + 1];
    char password[kMaxPassword + 1];  // filled by the entry from one of those two
    int hasPassword;
    uint16_t keepAliveSeconds;
};

enum ParseOutcome { kParseRun, kParseHelp, kParseVersion, kParseError };

// Splits a whole command line into at most maxWords words, as the Microsoft C runtime does
// (quotes group, backslashes before a quote escape it), writing them NUL-separated into
// storage. The program's own name is word 0. Returns the word count, or -1 when it does not fit.
int SplitCommandLine(const char* commandLine, char* storage, uint32_t storageSize,
                     const char** words, int maxWords);

// Parses the words after the program's name. On kParseError, message holds one line saying
// what is wrong.
ParseOutcome ParseBridgeArgs(int count, const char* const* words, BridgeConfig* config,
                             char* message, uint32_t messageSize);

// Whether a text may be a publisher's name: 1 to kMaxName bytes of 0x21-0x7E with no '+', '#'
// or '/'.
int IsValidName(const char* name);

// The usage text for --help.
extern const char kBridgeUsage[];

#endif
