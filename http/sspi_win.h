// The system TLS functions the Windows transport calls, gathered in one table. The program
// uses the system's own (secur32, and ntdll for the build number); the tests put a scripted
// table in its place to take the paths a test server never takes (a client certificate
// request, a renegotiation, a context that expires).
#pragma once

#include <winsock2.h>
#include <windows.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <sspi.h>

#include "app/core/setting.h"

struct SspiTable {
    decltype(&::AcquireCredentialsHandleW) acquireCredentials;
    decltype(&::FreeCredentialsHandle) freeCredentials;
    decltype(&::InitializeSecurityContextW) initializeContext;
    decltype(&::DeleteSecurityContext) deleteContext;
    decltype(&::QueryContextAttributesW) queryAttributes;
    decltype(&::FreeContextBuffer) freeContextBuffer;
    decltype(&::EncryptMessage) encrypt;
    decltype(&::DecryptMessage) decrypt;
    // The running system's build number, 0 when it cannot be read.
    ULONG (*windowsBuild)();
};

// The first build whose TLS 1.3 is offered: earlier ones could switch on a TLS 1.3 that was
// not finished.
constexpr ULONG kFirstTls13Build = 20348;

const SspiTable& SystemSspi();
namespace settings {
// The table of the sessions made from now on: nullptr (the default) for the system's, or a
// test's own, which must outlive those sessions.
inline Setting<const SspiTable*> sspiTable;
}  // namespace settings
const SspiTable& CurrentSspi();
