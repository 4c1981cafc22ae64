// The client certificate on Windows: found in a My store by its thumbprint, or loaded from a
// PKCS#12 file, then checked (key, dates, usage) by bridge/core/client_certificate. Declared
// without Windows types; only win32_client_certificate.cpp includes the Windows headers.
#ifndef VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_CLIENT_CERTIFICATE_H
#define VARDEX_BRIDGE_PLATFORM_WIN32_WIN32_CLIENT_CERTIFICATE_H

#include "bridge/core/bridge_config.h"

#include <stdint.h>

// Finds or loads the certificate that config names, for a service (LocalMachine\My only) or a
// console run (the user's My, then the machine's). pfxPassword: the PFX's password as UTF-8, or
// null when none was given. Returns 1 with the certificate held for the process, or 0 with one
// line in message; secondsToExpiry says how long it stays valid. With --cert-issuer, each call
// chooses again, and the held certificate changes only when a newer one is there.
int LoadClientCertificate(const BridgeConfig* config, int asService, const char* pfxPassword,
                          char* message, uint32_t messageSize, int32_t* secondsToExpiry);
// Lets the certificate go; a PFX's key, which the import put in a key set, is deleted. Every
// way out of a run that loaded one calls it.
void ReleaseClientCertificate();
// install with --cert-file: the PFX's certificate and its key into LocalMachine\My, once (one
// already there with its key stays, and this import's key is deleted), checked as the service
// would find it. Returns 1 with its 40 hex digits in thumbprint and message empty or a warning
// to show, or 0 with one line in message.
// Until KeepStoredCertificate, ReleaseClientCertificate takes a certificate it added out again.
int StoreClientCertificate(const BridgeConfig* config, const char* pfxPassword,
                           char thumbprint[41], char* message, uint32_t messageSize);
// The service was installed: what StoreClientCertificate put in the store stays there.
void KeepStoredCertificate();
// The loaded certificate as a PCCERT_CONTEXT, or null.
const void* ClientCertificate();
// Its expiry, from now, for the daily warning; the longest time there is without one.
int32_t ClientCertificateSecondsToExpiry();
// "presenting the client certificate CN=PC01, O=Example, thumbprint 0A1B..., expires in 30
// days", for the log.
void ClientCertificateSummary(char* out, uint32_t size);
// Its subject's common name into out; empty without one, or when it does not fit.
void ClientCertificateName(char* out, uint32_t size);

#endif
