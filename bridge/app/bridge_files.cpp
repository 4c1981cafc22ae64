// What a run reads besides the command line: the computer name, the password (from its file or
// variable) and the CA file.
#include "bridge/app/bridge_app.h"
#include "bridge/core/text.h"
#include "bridge/platform/win32/win32_bridge_platform.h"
#include "bridge/platform/win32/win32_client_certificate.h"

CaCertificates caFile;

namespace {

const uint32_t kCaFileMax = 65536;
uint8_t caText[kCaFileMax];

void SetLine(char* message, const char* first, const char* second = "", const char* third = "") {
    TextBuilder text = {message, kMessageSize, 0, 0};
    AppendFormat(&text, "%s%s%s", first, second, third);
    FinishText(&text);
}

// "cannot read the password file C:\pw.txt: Access is denied.", in Windows' own words: a
// service reads as LocalSystem what install read as the user who installed it.
void CannotRead(char* message, const char* what, const char* path) {
    char error[200];
    ErrorText(LastError(), error, sizeof error);
    TextBuilder text = {message, kMessageSize, 0, 0};
    AppendFormat(&text, "cannot read %s%s: %s", what, path, error);
    FinishText(&text);
}

// A secret from the start of a file as Windows tools write it (PasswordFromFile): its length,
// or -1 with a line in message. what: "the password file ".
int ReadSecretFile(const char* what, const char* path, char* out, uint32_t size, char* message) {
    // Room for a byte-order mark, the longest password and a line end, so a longer line shows
    // as one.
    uint8_t start[kMaxPassword + 8];
    int got = ReadFileStart(path, start, sizeof start);
    if (got < 0) {
        CannotRead(message, what, path);
        return -1;
    }
    got = PasswordFromFile(start, static_cast<uint32_t>(got), out, size);
    ZeroBytes(start, sizeof start);
    if (got == kPasswordUtf16) {
        SetLine(message, what, path, " is UTF-16; write it as ASCII or UTF-8 (PowerShell: "
                "Set-Content -NoNewline -Encoding ASCII)");
        return -1;
    }
    if (got < 0) {
        SetLine(message, what, path, " holds a password longer than 256 bytes");
        return -1;
    }
    return got;
}

}  // namespace

// The password from where the command line said, never from the command line itself; 0 with a
// line in message when it cannot be had.
int ReadPassword(char* message) {
    if (bridgeConfig.passwordEnv[0] != 0) {
        int got = EnvironmentValue(bridgeConfig.passwordEnv, bridgeConfig.password,
                                   sizeof bridgeConfig.password);
        if (got == -1) {
            SetLine(message, "the environment variable ", bridgeConfig.passwordEnv, " is not set");
            return 0;
        }
        if (got < 0) {
            SetLine(message, "the password is longer than 256 bytes");
            return 0;
        }
    } else if (bridgeConfig.passwordFile[0] != 0) {
        if (ReadSecretFile("the password file ", bridgeConfig.passwordFile, bridgeConfig.password,
                           sizeof bridgeConfig.password, message) < 0) {
            return 0;
        }
    } else {
        return 1;
    }
    bridgeConfig.hasPassword = 1;
    return 1;
}

int LoadCertificate(int asService, char* message, char* thumbprint) {
    int byIssuer = bridgeConfig.certIssuer[0] != 0;
    if (!bridgeConfig.hasCertHash && bridgeConfig.certFile[0] == 0 && !byIssuer) return 1;
    char password[kMaxPassword + 1];
    int given = bridgeConfig.certPasswordFile[0] != 0;
    if (given && ReadSecretFile("the certificate's password file ", bridgeConfig.certPasswordFile,
                                password, sizeof password, message) < 0) {
        ZeroBytes(password, sizeof password);  // what was read before the file was refused
        return 0;
    }
    int32_t seconds = 0;
    const char* pfxPassword = given ? password : nullptr;
    int loaded = thumbprint != nullptr
                     ? StoreClientCertificate(&bridgeConfig, pfxPassword, thumbprint, message,
                                              kMessageSize)
                     : LoadClientCertificate(&bridgeConfig, asService, pfxPassword, message,
                                             kMessageSize, &seconds);
    ZeroBytes(password, sizeof password);
    if (loaded) ClientCertificateName(bridgeConfig.certName, sizeof bridgeConfig.certName);
    // A service's certificate may be enrolled after boot: it looks again at each connect, and
    // install saves the CA's name as given.
    return loaded || (asService && byIssuer);
}

// The certificates of --cafile; 0 with a line in message when they cannot be had.
int ReadCaFile(char* message) {
    const char* path = bridgeConfig.caFile;
    if (path[0] == 0) return 1;
    int size = ReadFileStart(path, caText, kCaFileMax);
    if (size < 0) {
        CannotRead(message, "the CA file ", path);
        return 0;
    }
    if (static_cast<uint32_t>(size) == kCaFileMax) {
        SetLine(message, "the CA file ", path, " is over 64 KiB: give the broker's CA "
                "alone, not a bundle (without --cafile Windows' own roots are used)");
        return 0;
    }
    caFile.count = ReadPemCertificates(caText, static_cast<uint32_t>(size), caFile.der,
                                       sizeof caFile.der, caFile.certs, kCaFileCertificates);
    if (caFile.count == kPemNoCertificate) {
        SetLine(message, "the CA file ", path, " holds no PEM certificate (BEGIN "
                "CERTIFICATE)");
    } else if (caFile.count == kPemBroken) {
        SetLine(message, "the CA file ", path, " has a certificate block that is not "
                "valid base64 or has no END line");
    } else if (caFile.count < 0) {
        SetLine(message, "the CA file ", path, " holds more than 32 certificates or "
                "48 KiB of them");
    }
    return caFile.count > 0;
}

// What a run needs besides the command line: the name, the password, the CA file, the client
// certificate.
int Prepare(char* message, int asService) {
    if (bridgeConfig.name[0] == 0) {
        char computer[kMaxName + 1];
        if (!ComputerName(computer, sizeof computer) || !IsValidName(computer)) {
            SetLine(message, "the computer name cannot be used as a name here; give --name NAME");
            return 0;
        }
        for (uint32_t i = 0; i <= TextLength(computer); ++i) bridgeConfig.name[i] = computer[i];
    }
    return ReadPassword(message) && ReadCaFile(message) && LoadCertificate(asService, message);
}
