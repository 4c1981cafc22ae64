// The bridge's options, one row each: the parser, --help and install's saved command line are all
// read from this table, so adding an option is one row (and its installer property, if any).
#ifndef VARDEX_BRIDGE_CORE_BRIDGE_OPTIONS_H
#define VARDEX_BRIDGE_CORE_BRIDGE_OPTIONS_H

#include <stdint.h>

// How a value is checked and stored.
enum OptionCheck {
    kCheckFlag,        // no value: sets the row's "given" int
    kCheckRefused,     // never taken: the row's rule is the whole refusal
    kCheckBroker,      // HOST[:PORT] or [IPv6][:PORT], into host and port
    kCheckName,        // a publisher's name
    kCheckNameOrAnyone,  // a publisher's name, or "+"
    kCheckPrefix,      // a topic prefix
    kCheckChoice,      // one of valueName's '|'-separated words; the int is 1 for word number limit
    kCheckWord,        // 1 to limit printable characters, no spaces
    kCheckText,        // 1 to limit bytes, no control characters
    kCheckPath,        // a file: 1 to limit bytes
    kCheckThumbprint,  // a certificate's SHA-1 thumbprint, 20 bytes
    kCheckSeconds,     // whole seconds, 1 to 65535, into a uint16_t
};

// What install keeps of an option in the service's command line.
enum OptionSave {
    kSaveAsGiven,
    kSaveFullPath,  // a file: by its full path, as the service runs elsewhere than the prompt
    kSaveNever,     // install refuses it
};

struct OptionRow {
    const char* name;       // "--broker"
    const char* valueName;  // "HOST[:PORT]"; null for a flag such as --tls
    // One byte for the three, so that a row is five words on x64 and six on x86.
    uint8_t roles : 2;      // which roles take it (bits: 1 publish, 2 deliver)
    uint8_t check : 4;      // OptionCheck
    uint8_t save : 2;       // OptionSave
    uint16_t field;         // where the value goes: its offset in BridgeConfig
    uint16_t given;         // an int in BridgeConfig set to 1 when the option is given; 0: none
    uint16_t limit;         // the longest text the field holds; a choice's word that means 1
    const char* rule;       // after the option and a bad value, what a good one is
    const char* usage;      // its words in --help's synopsis; null where another row's show it
};

extern const OptionRow kOptionRows[];
extern const int kOptionRowCount;

// The row named by an option word, or null.
const OptionRow* FindOption(const char* name);
// The installer package's property for the row's option ("BROKER" for --broker), or null where
// the package has none. A flag's property sets it when it is "1".
const char* OptionProperty(const OptionRow* row);

#endif
