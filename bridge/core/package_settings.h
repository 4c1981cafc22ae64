// The installer package's settings: its properties as NAME=value lines, which are remembered,
// and the bridge command line that configures the service from them.
#ifndef VARDEX_BRIDGE_CORE_PACKAGE_SETTINGS_H
#define VARDEX_BRIDGE_CORE_PACKAGE_SETTINGS_H

#include <stdint.h>

// The properties remembered between installs: every option row's, ROLE and EXTRA_OPTIONS;
// never a secret (MQTT_PASSWORD is not among them). Fills names; returns how many.
const int kMaxPackageProperties = 40;
int RememberedProperties(const char** names, int capacity);

// The value of NAME in settings ("NAME=value" lines, '\n' after each; of two, the later),
// copied to out; 1 when there with a value that fits, else 0 with out empty.
int SettingValue(const char* settings, const char* name, char* out, uint32_t capacity);

// "program" reconfigure ROLE, then each option row the role takes whose property has a value
// (a flag's when it is "1"), each word quoted as the C runtime splits it, then EXTRA_OPTIONS as
// written. Returns the length, or 0 when it does not fit.
uint32_t BuildReconfigureCommand(const char* program, const char* settings, char* out,
                                 uint32_t capacity);

#endif
