// The server certificate check on Windows: the server's chain against the system's root store
// with the SSL policy, and the requested host name against the certificate's subjectAltName by
// the rule the native build follows, so that a refusal can be named by its reason.
// The chain parameters' retrieval time-out is declared only with this switch.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "http/cert_check_win.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "app/core/ascii.h"
#include "app/core/textconv.h"
#include "http/transport.h"

using boost::system::error_code;

namespace {

// The SSL policy's flag that skips only the name check (declared by the internet headers).
constexpr DWORD kIgnoreNameMismatch = 0x00001000;

// A DNS entry of a certificate against a host name, letter case aside: the same name, or a
// wildcard that stands for the whole first label ("*.example.com" for "a.example.com", not for
// "example.com" nor "a.b.example.com") of a name with at least two more labels.
bool DnsNameMatches(const std::string& entry, const std::string& host) {
    const std::string pattern = AsciiLowered(entry);
    const std::string name = AsciiLowered(host);
    if (pattern.empty() || name.empty()) return false;
    if (pattern == name) return true;
    if (pattern.compare(0, 2, "*.") != 0) return false;
    const std::string suffix = pattern.substr(1);
    if (suffix.find('*') != std::string::npos || std::count(suffix.begin(), suffix.end(), '.') < 2) return false;
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    return name.find('.') == name.size() - suffix.size();
}

TlsError ChainReason(DWORD error) {
    switch (error) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
    case static_cast<DWORD>(CERT_E_UNTRUSTEDTESTROOT):
    case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
        return TlsError::kUntrusted;
    case static_cast<DWORD>(CERT_E_EXPIRED):
        return TlsError::kExpired;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
        return TlsError::kWrongName;
    default:
        return TlsError::kBadCertificate;
    }
}

// The host names of cert's subjectAltName extension: DNS entries for a name, IP entries for an
// address. Names elsewhere in the certificate (its subject's common name) are not looked at,
// as browsers do and as the native build does.
bool CertificateIsFor(PCCERT_CONTEXT cert, const std::string& hostName) {
    error_code notAddress;
    const boost::asio::ip::address address = boost::asio::ip::make_address(hostName, notAddress);
    std::vector<unsigned char> bytes;
    if (!notAddress && address.is_v4()) {
        const auto b = address.to_v4().to_bytes();
        bytes.assign(b.begin(), b.end());
    } else if (!notAddress) {
        const auto b = address.to_v6().to_bytes();
        bytes.assign(b.begin(), b.end());
    }
    PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                            cert->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                             ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
        if (!notAddress) {
            found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == bytes.size() &&
                    std::memcmp(e.IPAddress.pbData, bytes.data(), bytes.size()) == 0;
        } else if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && e.pwszDNSName) {
            std::string pattern;
            bool ascii = true;
            for (const wchar_t* c = e.pwszDNSName; *c && ascii; ++c) {
                ascii = *c > 0 && *c < 0x80;
                pattern += static_cast<char>(*c);
            }
            found = ascii && DnsNameMatches(pattern, hostName);
        }
    }
    LocalFree(names);
    return found;
}

DWORD PolicyError(PCCERT_CHAIN_CONTEXT chain, const std::wstring& host, DWORD ignore) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = ignore;
    ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
        return static_cast<DWORD>(CERT_E_CHAINING);
    }
    return status.dwError;
}

constexpr DWORD kNoTrustedRoot = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                 CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_CYCLIC;
// Longest wait for one issuer or root the system fetches while building a chain.
constexpr DWORD kFetchTimeoutMs = 5000;

// The chain of cert for a server, built from the local stores only, or (fetch) also with the
// issuers and roots the system fetches on demand. A system keeps only part of its trusted roots
// locally; the fetch is not bounded by the connection's stop flags, so it is done only when the
// local stores do not complete the chain, and with a short limit.
PCCERT_CHAIN_CONTEXT BuildChain(PCCERT_CONTEXT cert, bool fetch) {
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    para.dwUrlRetrievalTimeout = kFetchTimeoutMs;
    const DWORD flags = fetch ? 0 : CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &para, flags, nullptr, &chain)) {
        return nullptr;
    }
    return chain;
}

}  // namespace

error_code VerifyCertificate(PCCERT_CONTEXT cert, const std::string& hostName) {
    PCCERT_CHAIN_CONTEXT chain = BuildChain(cert, false);
    if (chain && (chain->TrustStatus.dwErrorStatus & kNoTrustedRoot)) {
        CertFreeCertificateChain(chain);
        chain = BuildChain(cert, true);
    }
    if (!chain) return MakeTlsError(TlsError::kUntrusted);
    // The chain's own status first: not every implementation of the SSL policy fails a chain
    // that stops short of any root (one seen under the Wine test environment accepts it).
    const DWORD trust = chain->TrustStatus.dwErrorStatus;
    if (trust & kNoTrustedRoot) {
        CertFreeCertificateChain(chain);
        return MakeTlsError(TlsError::kUntrusted);
    }
    if (trust & CERT_TRUST_IS_NOT_TIME_VALID) {
        CertFreeCertificateChain(chain);
        return MakeTlsError(TlsError::kExpired);
    }
    // The name by the one rule of both builds (the system's policy would also take the
    // subject's common name, and a DNS entry spelling an address); then everything else.
    if (hostName.empty() || !CertificateIsFor(cert, hostName)) {
        CertFreeCertificateChain(chain);
        return MakeTlsError(TlsError::kWrongName);
    }
    const DWORD error = PolicyError(chain, ToWide(hostName), kIgnoreNameMismatch);
    CertFreeCertificateChain(chain);
    return error == 0 ? error_code() : MakeTlsError(ChainReason(error));
}

