// What the bridge's entry files share: the one configuration, the console's lines, the files a
// run reads, and the service's install and uninstall.
#ifndef VARDEX_BRIDGE_APP_BRIDGE_APP_H
#define VARDEX_BRIDGE_APP_BRIDGE_APP_H

#include "bridge/core/bridge_config.h"
#include "bridge/core/pem.h"

#include <stdint.h>

extern BridgeConfig bridgeConfig;

// A line for the console or the Event Log, with room for a path or two.
const uint32_t kMessageSize = 400;

// "vardex-bridge: " and the parts, as one line through write (WriteOut or WriteError).
void Say(void (*write)(const char*), const char* first, const char* second = "",
         const char* third = "", const char* fourth = "");
// Says why on standard error and ends the process with exit code 2.
[[noreturn]] void Refuse(const char* first, const char* second = "", const char* third = "");

// What a run needs besides the command line: the name (the computer's unless given), the
// password, the CA file; 0 with a line in message when one cannot be had.
int Prepare(char* message, int asService);
// The password from where the command line said, never from the command line itself; 0 with a
// line in message when it cannot be had.
int ReadPassword(char* message);
// The client certificate of --cert, --cert-file or --cert-issuer, checked and held for the TLS
// credentials (a service's --cert-issuer finding none is no failure: it looks again at each
// connect);
// as the service would find it with asService. With thumbprint, install's --cert-file goes into
// LocalMachine\My instead (StoreClientCertificate), and thumbprint gets its 40 hex digits. 0
// with a line in message when it cannot be used.
int LoadCertificate(int asService, char* message, char* thumbprint = nullptr);
// The certificates of --cafile into caFile; 0 with a line in message when they cannot be had.
int ReadCaFile(char* message);

// The CA file: a few certificates, not a whole bundle.
const int kCaFileCertificates = 32;
struct CaCertificates {
    uint8_t der[49152];
    DerSpan certs[kCaFileCertificates];
    int count;
};
extern CaCertificates caFile;

// install publish|deliver with the words after the role's (words[0] is the role); uninstall.
// Each returns the exit code. With takeOver (the reconfigure verb), a service of the role's
// name that is there already is configured as install would make it, not refused.
int Install(const char* const* words, int count, int takeOver);
int Uninstall();

#endif
