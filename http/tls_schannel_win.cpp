// TLS on Windows: the system's TLS through SSPI, on the connection's own socket (through
// RawStream, see transport.h), so the connection's time limits and stop flags bound the
// handshake and every record. No TLS library is linked: secur32 and crypt32 only.
//
// The system is asked to leave certificate checks to this code (cert_check_win.cpp), so that a
// refusal can be named by its reason.
#include "http/transport.h"

#include <winsock2.h>
#include <windows.h>
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <wincrypt.h>
#define SECURITY_WIN32
// The newer credential structure (TLS 1.3 capable) is declared only with this switch; its
// strings need the UNICODE_STRING of subauth.h.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>

#include "app/core/textconv.h"
#include "http/cert_check_win.h"
#include "http/sspi_win.h"

using boost::system::error_code;

namespace {

// A TLS record is at most 2^14 bytes of data plus 2048 of expansion and a 5-byte header. The
// receive buffer holds several, enough for a handshake flight with a long certificate chain;
// a peer that sends more without completing a message fails instead of growing it.
constexpr std::size_t kRecordMax = 16384 + 2048 + 5;
constexpr std::size_t kReceiveCapacity = 4 * kRecordMax;

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;
// What a session must have before a byte of data goes through it: encrypted records (which
// TLS also authenticates) on a stream.
constexpr ULONG kRequiredAttributes = ISC_RET_CONFIDENTIALITY | ISC_RET_STREAM;
constexpr DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
constexpr DWORD kOldProtocols =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

// A failure status of the handshake itself (the system may still check a certificate on
// some versions despite being asked not to).
TlsError HandshakeReason(SECURITY_STATUS status) {
    switch (status) {
    case SEC_E_UNTRUSTED_ROOT: return TlsError::kUntrusted;
    case SEC_E_CERT_EXPIRED: return TlsError::kExpired;
    case SEC_E_WRONG_PRINCIPAL: return TlsError::kWrongName;
    default: return TlsError::kHandshakeFailed;
    }
}

ULONG ReadWindowsBuild() {
    // The version functions of kernel32 report an older system to a program whose manifest
    // does not name the newer one; ntdll reports the real build.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return 0;
    const auto getVersion =
        reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (!getVersion) return 0;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    return getVersion(&info) == 0 ? info.dwBuildNumber : 0;
}

const SspiTable kSystemSspi = {AcquireCredentialsHandleW, FreeCredentialsHandle, InitializeSecurityContextW,
                               DeleteSecurityContext,     QueryContextAttributesW, FreeContextBuffer,
                               EncryptMessage,            DecryptMessage,          ReadWindowsBuild};

bool IsAddress(const std::string& host) {
    error_code ec;
    boost::asio::ip::make_address(host, ec);
    return !ec;
}

class SchannelTransport : public Transport {
public:
    SchannelTransport(RawStream& raw, const TlsSettings& settings)
        : m_sspi(CurrentSspi()), m_raw(raw), m_settings(settings), m_in(kReceiveCapacity) {}
    ~SchannelTransport() override {
        if (m_cert) CertFreeCertificateContext(m_cert);
        if (m_haveContext) m_sspi.deleteContext(&m_context);
        if (m_haveCredentials) m_sspi.freeCredentials(&m_credentials);
    }
    SchannelTransport(const SchannelTransport&) = delete;
    SchannelTransport& operator=(const SchannelTransport&) = delete;

    void Handshake(const std::string& hostName, error_code& ec) override;
    void WriteAll(const char* data, std::size_t size, error_code& ec) override;
    std::size_t ReadSome(char* buffer, std::size_t size, error_code& ec) override;

private:
    enum class Step { kData, kNeedInput, kAgain, kClosed, kFailed };

    bool AcquireCredentials();
    bool RunHandshake(RawStream& raw, error_code& ec);
    bool ReadMore(RawStream& raw, error_code& ec);
    void KeepLast(std::size_t count);
    error_code CheckSession();
    error_code CheckCertificate();
    Step DecryptOne(char* buffer, std::size_t size, std::size_t& n, error_code& ec);

    const SspiTable& m_sspi;
    RawStream& m_raw;
    TlsSettings m_settings;
    std::string m_hostName;
    std::wstring m_target;           // empty for an address: no name indication
    ULONG m_request = kContextRequest;
    ULONG m_attributes = 0;          // what the last handshake step granted
    PCCERT_CONTEXT m_cert = nullptr; // the server certificate last checked
    CredHandle m_credentials{};
    bool m_haveCredentials = false;
    CtxtHandle m_context{};
    bool m_haveContext = false;
    bool m_ready = false;
    bool m_closed = false;
    SecPkgContext_StreamSizes m_sizes{};
    std::vector<char> m_in;          // received bytes not yet consumed by the system
    std::size_t m_inLength = 0;
    std::vector<char> m_plain;       // decrypted bytes not yet handed out (at most one record)
    std::size_t m_plainPos = 0;
    std::vector<char> m_out;         // one encrypted record on its way out
};

// TLS 1.2 and later. Newer systems take the newer credential structure, which allows 1.3
// from the first build whose 1.3 is sound; older ones only know the older structure, limited
// to 1.2 there.
bool SchannelTransport::AcquireCredentials() {
    TimeStamp expiry{};
    TLS_PARAMETERS tls{};
    tls.grbitDisabledProtocols = kOldProtocols;
    if (m_sspi.windowsBuild() < kFirstTls13Build) tls.grbitDisabledProtocols |= SP_PROT_TLS1_3_CLIENT;
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kCredentialFlags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &tls;
    SECURITY_STATUS status = m_sspi.acquireCredentials(
        nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &current,
        nullptr, nullptr, &m_credentials, &expiry);
    // The oldest systems do not know the strong-crypto flag either; 1.2 alone keeps them safe.
    for (const DWORD flags : {kCredentialFlags, kCredentialFlags & ~DWORD(SCH_USE_STRONG_CRYPTO)}) {
        if (status == SEC_E_OK) break;
        SCHANNEL_CRED old{};
        old.dwVersion = SCHANNEL_CRED_VERSION;
        old.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        old.dwFlags = flags;
        status = m_sspi.acquireCredentials(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                           SECPKG_CRED_OUTBOUND, nullptr, &old, nullptr, nullptr,
                                           &m_credentials, &expiry);
    }
    m_haveCredentials = status == SEC_E_OK;
    return m_haveCredentials;
}

void SchannelTransport::Handshake(const std::string& hostName, error_code& ec) {
    ec.clear();
    // No certificate can be checked against an empty name.
    if (hostName.empty()) {
        ec = MakeTlsError(TlsError::kHandshakeFailed);
        return;
    }
    m_hostName = hostName;
    // Names only in the name indication, as natively: an address is no name. The certificate
    // is checked against hostName by this code in either case.
    if (!IsAddress(hostName)) m_target = ToWide(hostName);
    if (!AcquireCredentials()) {
        ec = MakeTlsError(TlsError::kHandshakeFailed);
        return;
    }
    DeadlineStream bounded(m_raw, m_settings.handshakeTimeoutMs);
    if (!RunHandshake(bounded, ec)) return;
    ec = CheckSession();
    if (ec) return;
    m_ready = true;
}

// The server certificate as the system holds it now; checked again only when it changed, so
// that a renegotiation cannot bring in a certificate nobody checked.
error_code SchannelTransport::CheckCertificate() {
    PCCERT_CONTEXT cert = nullptr;
    if (m_sspi.queryAttributes(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || !cert) {
        return MakeTlsError(TlsError::kBadCertificate);
    }
    if (m_cert && m_cert->cbCertEncoded == cert->cbCertEncoded &&
        std::memcmp(m_cert->pbCertEncoded, cert->pbCertEncoded, cert->cbCertEncoded) == 0) {
        CertFreeCertificateContext(cert);
        return error_code();
    }
    if (m_cert) CertFreeCertificateContext(m_cert);
    m_cert = nullptr;
    const error_code ec = VerifyCertificate(cert, m_hostName);
    if (ec) {
        CertFreeCertificateContext(cert);
        return ec;
    }
    m_cert = cert;
    return error_code();
}

// The attributes, the certificate, the agreed protocol and the record sizes of a completed
// handshake (also of one the server started later).
error_code SchannelTransport::CheckSession() {
    if ((m_attributes & kRequiredAttributes) != kRequiredAttributes) return MakeTlsError(TlsError::kHandshakeFailed);
    const error_code ec = CheckCertificate();
    if (ec) return ec;
    SecPkgContext_ConnectionInfo info{};
    if (m_sspi.queryAttributes(&m_context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK &&
        (info.dwProtocol & kOldProtocols) != 0) {
        return MakeTlsError(TlsError::kHandshakeFailed);
    }
    if (m_sspi.queryAttributes(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes) != SEC_E_OK ||
        m_sizes.cbMaximumMessage == 0 || m_sizes.cbMaximumMessage > kRecordMax ||
        m_sizes.cbHeader > kRecordMax || m_sizes.cbTrailer > kRecordMax) {
        return MakeTlsError(TlsError::kHandshakeFailed);
    }
    m_out.resize(m_sizes.cbHeader + m_sizes.cbMaximumMessage + m_sizes.cbTrailer);
    return error_code();
}

bool SchannelTransport::ReadMore(RawStream& raw, error_code& ec) {
    if (m_inLength == m_in.size()) {
        ec = MakeTlsError(m_ready ? TlsError::kProtocol : TlsError::kHandshakeFailed);
        return false;
    }
    const std::size_t n = raw.ReadSome(m_in.data() + m_inLength, m_in.size() - m_inLength, ec);
    m_inLength += n;
    return n > 0;
}

// Keeps the last count received bytes (what the system left unconsumed) for the next call.
void SchannelTransport::KeepLast(std::size_t count) {
    if (count > m_inLength) count = m_inLength;
    std::memmove(m_in.data(), m_in.data() + (m_inLength - count), count);
    m_inLength = count;
}

// Runs the handshake (or one the server started later) until the session is set up, sending
// each token the system produces and feeding it each received byte.
bool SchannelTransport::RunHandshake(RawStream& raw, error_code& ec) {
    bool needInput = false;
    for (;;) {
        if (needInput && !ReadMore(raw, ec)) {
            if (ec == boost::asio::error::eof) ec = MakeTlsError(TlsError::kHandshakeFailed);
            return false;
        }
        SecBuffer inBuffers[2] = {{static_cast<ULONG>(m_inLength), SECBUFFER_TOKEN, m_in.data()},
                                  {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc input{SECBUFFER_VERSION, 2, inBuffers};
        // With memory allocated by the system, a failing step may also describe its alert.
        SecBuffer outBuffers[3] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr},
                                   {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc output{SECBUFFER_VERSION, 3, outBuffers};
        ULONG attributes = 0;
        const bool first = !m_haveContext;
        const SECURITY_STATUS status = m_sspi.initializeContext(
            &m_credentials, first ? nullptr : &m_context,
            m_target.empty() ? nullptr : const_cast<wchar_t*>(m_target.c_str()), m_request, 0, 0,
            first ? nullptr : &input, 0, first ? &m_context : nullptr, &output, &attributes, nullptr);
        if (first && status >= 0) m_haveContext = true;
        // Send the token (an alert included) before looking at the status; free every buffer.
        error_code writeError;
        for (SecBuffer& b : outBuffers) {
            if (!b.pvBuffer) continue;
            if (b.BufferType == SECBUFFER_TOKEN && b.cbBuffer > 0 && !writeError) {
                raw.WriteAll(static_cast<const char*>(b.pvBuffer), b.cbBuffer, writeError);
            }
            m_sspi.freeContextBuffer(b.pvBuffer);
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needInput = true;
            continue;
        }
        if (writeError && status >= 0) {
            ec = writeError;
            return false;
        }
        if (status < 0) {
            ec = MakeTlsError(HandshakeReason(status));
            return false;
        }
        // The server asked for a client certificate. There is none to give: go on without one,
        // at once and on the same input (the server now waits for this side).
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            if (m_request & ISC_REQ_USE_SUPPLIED_CREDS) {
                ec = MakeTlsError(TlsError::kHandshakeFailed);
                return false;
            }
            m_request |= ISC_REQ_USE_SUPPLIED_CREDS;
            needInput = false;
            continue;
        }
        if (!first) KeepLast(inBuffers[1].BufferType == SECBUFFER_EXTRA ? inBuffers[1].cbBuffer : 0);
        if (status == SEC_E_OK) {
            m_attributes = attributes;
            return true;
        }
        if (status != SEC_I_CONTINUE_NEEDED) {
            ec = MakeTlsError(TlsError::kHandshakeFailed);
            return false;
        }
        needInput = m_inLength == 0;
    }
}

void SchannelTransport::WriteAll(const char* data, std::size_t size, error_code& ec) {
    ec.clear();
    if (!m_ready) {
        ec = MakeTlsError(TlsError::kHandshakeFailed);
        return;
    }
    while (size > 0) {
        const std::size_t chunk = std::min<std::size_t>(size, m_sizes.cbMaximumMessage);
        char* header = m_out.data();
        char* body = header + m_sizes.cbHeader;
        std::memcpy(body, data, chunk);
        SecBuffer buffers[4] = {{m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, header},
                                {static_cast<ULONG>(chunk), SECBUFFER_DATA, body},
                                {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, body + chunk},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        if (m_sspi.encrypt(&m_context, 0, &desc, 0) != SEC_E_OK) {
            ec = MakeTlsError(TlsError::kProtocol);
            return;
        }
        const std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (total > m_out.size()) {
            ec = MakeTlsError(TlsError::kProtocol);
            return;
        }
        m_raw.WriteAll(header, total, ec);
        if (ec) return;
        data += chunk;
        size -= chunk;
    }
}

// Decrypts the record at the start of the receive buffer into buffer (n bytes); what does not
// fit waits in m_plain.
SchannelTransport::Step SchannelTransport::DecryptOne(char* buffer, std::size_t size, std::size_t& n,
                                                      error_code& ec) {
    n = 0;
    SecBuffer buffers[4] = {{static_cast<ULONG>(m_inLength), SECBUFFER_DATA, m_in.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = m_sspi.decrypt(&m_context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return Step::kNeedInput;
    if (status == SEC_I_CONTEXT_EXPIRED) {
        m_closed = true;
        return Step::kClosed;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
        ec = MakeTlsError(TlsError::kProtocol);
        return Step::kFailed;
    }
    std::size_t extra = 0;
    for (const SecBuffer& b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && b.pvBuffer && b.cbBuffer > 0) {
            const char* plain = static_cast<const char*>(b.pvBuffer);
            n = std::min<std::size_t>(size, b.cbBuffer);
            std::memcpy(buffer, plain, n);
            m_plain.assign(plain + n, plain + b.cbBuffer);
            m_plainPos = 0;
        } else if (b.BufferType == SECBUFFER_EXTRA) {
            extra = b.cbBuffer;
        }
    }
    KeepLast(extra);
    // The server started a handshake (a renegotiation, or a message after a TLS 1.3 handshake
    // such as a session ticket): its bytes are in the receive buffer now. Take part, within the
    // handshake's limit, and check what it produced as the first handshake was checked.
    if (status == SEC_I_RENEGOTIATE) {
        DeadlineStream bounded(m_raw, m_settings.handshakeTimeoutMs);
        if (!RunHandshake(bounded, ec)) return Step::kFailed;
        ec = CheckSession();
        if (ec) {
            m_ready = false;
            m_plain.clear();
            n = 0;
            return Step::kFailed;
        }
    }
    return n > 0 ? Step::kData : Step::kAgain;
}

// A peer that closes without the TLS closing alert is taken as the end of the stream, as with
// plain HTTP: many servers do so, and a cut-off body is caught by the length and digest
// checks above this layer.
std::size_t SchannelTransport::ReadSome(char* buffer, std::size_t size, error_code& ec) {
    ec.clear();
    if (!m_ready) {
        ec = MakeTlsError(TlsError::kHandshakeFailed);
        return 0;
    }
    if (size == 0) return 0;
    if (m_plainPos < m_plain.size()) {
        const std::size_t n = std::min(size, m_plain.size() - m_plainPos);
        std::memcpy(buffer, m_plain.data() + m_plainPos, n);
        m_plainPos += n;
        return n;
    }
    for (;;) {
        if (m_closed) {
            ec = boost::asio::error::eof;
            return 0;
        }
        Step step = Step::kNeedInput;
        std::size_t n = 0;
        if (m_inLength > 0) step = DecryptOne(buffer, size, n, ec);
        if (step == Step::kData) return n;
        if (step == Step::kFailed) return 0;
        if (step == Step::kNeedInput && !ReadMore(m_raw, ec)) return 0;
    }
}

}  // namespace

const SspiTable& SystemSspi() { return kSystemSspi; }

const SspiTable& CurrentSspi() {
    const SspiTable* table = settings::sspiTable.Get();
    return table ? *table : kSystemSspi;
}

// The system keeps its own session state: nothing to share.
std::shared_ptr<TlsContext> TlsContextCache::Get(const std::string&) { return nullptr; }

std::unique_ptr<Transport> MakeTlsTransport(RawStream& raw, const TlsSettings& settings) {
    return std::make_unique<SchannelTransport>(raw, settings);
}
