// The bridge's command line: split into words as Windows programs do, then parsed and checked
// into one configuration record. Nothing here reads the environment or a file; the entry does
// that for the password and the computer name and hands them in.
#ifndef VARDEX_BRIDGE_CORE_BRIDGE_CONFIG_H
#define VARDEX_BRIDGE_CORE_BRIDGE_CONFIG_H

#include <stdint.h>

const int kRolePublish = 1;
const int kRoleDeliver = 2;

// What the words ask for: a run in this console, a run under the service manager (the word
// "service", which only the installed image path carries), or the service's set-up.
enum BridgeCommand { kCommandRun, kCommandService, kCommandInstall, kCommandUninstall };

// The exit codes, as a console or the service manager sees them.
const int kExitOk = 0;
const int kExitFailed = 1;         // the program cannot go on (the mailslot's reader failed)
const int kExitUsage = 2;          // the command line, or a file it names, cannot be used
const int kExitRefused = 3;        // refused: by the broker at a console run's first connect
                                   // (a service asks again), or no TLS 1.2 on this Windows
const int kExitNotElevated = 4;    // install, uninstall: Windows denied access
const int kExitInstalled = 5;      // install: the service is there already
const int kExitNotInstalled = 6;   // uninstall: no such service
const int kExitServiceFailed = 7;  // install, uninstall: another error from Windows

// Limits that keep every topic and packet in fixed buffers. A Windows computer name has at most
// 15 characters; a relay's word at most 72.
const uint32_t kMaxHost = 255;
const uint32_t kMaxName = 64;
const uint32_t kMaxPrefix = 128;
const uint32_t kMaxHead = 72;
const uint32_t kMaxUser = 128;
const uint32_t kMaxPassword = 256;
const uint32_t kMaxPath = 260;
const uint32_t kMaxClientId = 128;
const uint32_t kMaxIssuer = 200;

struct BridgeConfig {
    BridgeCommand command;
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
    char clientId[kMaxClientId + 1];  // empty: vardex-<role>-<name>
    int tls;                          // MQTT over TLS, the port 8883 unless given
    char caFile[kMaxPath + 1];        // with tls: the only roots trusted for the broker
    // With tls, the client certificate: by its SHA-1 thumbprint from the My store, from a
    // PKCS#12 file and the file that holds its password, or the newest in the My store issued
    // by the CA named certIssuer.
    int hasCertHash;
    uint8_t certHash[20];
    char certFile[kMaxPath + 1];
    char certPasswordFile[kMaxPath + 1];
    char certIssuer[kMaxIssuer + 1];
    // Filled by the entry: the client certificate's subject common name, for the refusal line
    // of a broker that wants it as the user name; empty without one, or when longer than a
    // user name may be.
    char certName[kMaxUser + 1];
};

enum ParseOutcome { kParseRun, kParseHelp, kParseVersion, kParseError };

// Splits a whole command line into at most maxWords words, as the Microsoft C runtime does
// (quotes group, backslashes before a quote escape it), writing them NUL-separated into
// storage. The program's own name is word 0. Returns the word count, or -1 when it does not fit.
int SplitCommandLine(const char* commandLine, char* storage, uint32_t storageSize,
                     const char** words, int maxWords);

// Parses the words after the program's name. On kParseError, message holds one line saying
// what is wrong. install takes the options of a run, less --password-env (a service has no
// user's environment); uninstall takes the role alone.
ParseOutcome ParseBridgeArgs(int count, const char* const* words, BridgeConfig* config,
                             char* message, uint32_t messageSize);

// Whether a text may be a publisher's name: 1 to kMaxName bytes of 0x21-0x7E with no '+', '#'
// or '/'.
int IsValidName(const char* name);

// A certificate's SHA-1 thumbprint as Windows shows it: 40 hex digits, either case, spaces
// between them allowed, and the invisible left-to-right mark that the certificates dialog puts
// before it (U+200E, as UTF-8 or as the '?' an ANSI command line makes of it) skipped. Returns 1
// with the 20 bytes in out, 0 when the text is no thumbprint.
int ParseThumbprint(const char* text, uint8_t out[20]);

const int kPasswordTooLong = -2;
const int kPasswordUtf16 = -3;

// The password from the start of a password file as Windows tools write it: a UTF-8 byte-order
// mark skipped, the first line only, trailing spaces and tabs dropped (cmd's "echo pw > file"
// leaves one). Returns its length, kPasswordTooLong when it does not fit out, or
// kPasswordUtf16 for a UTF-16 file (Windows PowerShell 5.1's > and Out-File write one).
int PasswordFromFile(const uint8_t* bytes, uint32_t size, char* out, uint32_t outSize);

// The usage text for --help, its option rows from the table of options; returns its length, or 0
// when it does not fit.
uint32_t BridgeUsage(char* out, uint32_t capacity);

#endif
