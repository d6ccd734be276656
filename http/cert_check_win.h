// The server certificate check of the system TLS.
#pragma once

#include <string>

#include <boost/system/error_code.hpp>
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

// Checks the server's certificate as a browser does: a chain to a trusted root of the system,
// valid dates, usable for a server, issued for hostName (a DNS entry of its subjectAltName for a
// name, an IP entry for an address; nothing else names a host). A refusal carries its TlsError.
boost::system::error_code VerifyCertificate(PCCERT_CONTEXT cert, const std::string& hostName);
