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

class SchannelTransport : public Transport {
public:
    SchannelTransport(RawStream& raw, const TlsSettings& settings)
        : m_raw(raw), m_settings(settings), m_in(kReceiveCapacity) {}
    ~SchannelTransport() override {
        if (m_haveContext) DeleteSecurityContext(&m_context);
        if (m_haveCredentials) FreeCredentialsHandle(&m_credentials);
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
    Step DecryptOne(char* buffer, std::size_t size, std::size_t& n, error_code& ec);

    RawStream& m_raw;
    TlsSettings m_settings;
    std::string m_hostName;
    std::wstring m_target;
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

// TLS 1.2 and later. Newer systems take the newer credential structure, which allows 1.3;
// older ones only know the older structure, limited to 1.2 there.
bool SchannelTransport::AcquireCredentials() {
    TimeStamp expiry{};
    TLS_PARAMETERS tls{};
    tls.grbitDisabledProtocols = kOldProtocols;
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kCredentialFlags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &tls;
    SECURITY_STATUS status = AcquireCredentialsHandleW(
        nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &current,
        nullptr, nullptr, &m_credentials, &expiry);
    // The oldest systems do not know the strong-crypto flag either; 1.2 alone keeps them safe.
    for (const DWORD flags : {kCredentialFlags, kCredentialFlags & ~DWORD(SCH_USE_STRONG_CRYPTO)}) {
        if (status == SEC_E_OK) break;
        SCHANNEL_CRED old{};
        old.dwVersion = SCHANNEL_CRED_VERSION;
        old.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        old.dwFlags = flags;
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                           SECPKG_CRED_OUTBOUND, nullptr, &old, nullptr, nullptr,
                                           &m_credentials, &expiry);
    }
    m_haveCredentials = status == SEC_E_OK;
    return m_haveCredentials;
}

void SchannelTransport::Handshake(const std::string& hostName, error_code& ec) {
    ec.clear();
    m_hostName = hostName;
    m_target = ToWide(hostName);
    if (!AcquireCredentials()) {
        ec = MakeTlsError(TlsError::kHandshakeFailed);
        return;
    }
    DeadlineStream bounded(m_raw, m_settings.handshakeTimeoutMs);
    if (!RunHandshake(bounded, ec)) return;
    ec = CheckSession();
    if (ec) return;
    m_out.resize(m_sizes.cbHeader + m_sizes.cbMaximumMessage + m_sizes.cbTrailer);
    m_ready = true;
}

// The certificate, the agreed protocol and the record sizes of a completed handshake.
error_code SchannelTransport::CheckSession() {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesW(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || !cert) {
        return MakeTlsError(TlsError::kBadCertificate);
    }
    const error_code ec = VerifyCertificate(cert, m_hostName);
    CertFreeCertificateContext(cert);
    if (ec) return ec;
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(&m_context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK &&
        (info.dwProtocol & kOldProtocols) != 0) {
        return MakeTlsError(TlsError::kHandshakeFailed);
    }
    if (QueryContextAttributesW(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes) != SEC_E_OK ||
        m_sizes.cbMaximumMessage == 0 || m_sizes.cbMaximumMessage > kRecordMax) {
        return MakeTlsError(TlsError::kHandshakeFailed);
    }
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

// Runs the handshake (or a renegotiation the server asked for) until the session is set up,
// sending each token the system produces and feeding it each received byte.
bool SchannelTransport::RunHandshake(RawStream& raw, error_code& ec) {
    bool needInput = false;
    int credentialRetries = 0;
    for (;;) {
        if (needInput && !ReadMore(raw, ec)) {
            if (ec == boost::asio::error::eof) ec = MakeTlsError(TlsError::kHandshakeFailed);
            return false;
        }
        SecBuffer inBuffers[2] = {{static_cast<ULONG>(m_inLength), SECBUFFER_TOKEN, m_in.data()},
                                  {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc input{SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc output{SECBUFFER_VERSION, 1, outBuffers};
        ULONG attributes = 0;
        const bool first = !m_haveContext;
        const SECURITY_STATUS status = InitializeSecurityContextW(
            &m_credentials, first ? nullptr : &m_context, const_cast<wchar_t*>(m_target.c_str()),
            kContextRequest, 0, 0, first ? nullptr : &input, 0, first ? &m_context : nullptr,
            &output, &attributes, nullptr);
        if (first && status >= 0) m_haveContext = true;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needInput = true;
            continue;
        }
        // Send what the system produced, an alert included, before looking at the status.
        if (outBuffers[0].pvBuffer) {
            error_code writeError;
            if (outBuffers[0].cbBuffer > 0) {
                raw.WriteAll(static_cast<const char*>(outBuffers[0].pvBuffer), outBuffers[0].cbBuffer, writeError);
            }
            FreeContextBuffer(outBuffers[0].pvBuffer);
            if (writeError && status >= 0) {
                ec = writeError;
                return false;
            }
        }
        if (status < 0) {
            ec = MakeTlsError(HandshakeReason(status));
            return false;
        }
        // The server asked for a client certificate: go on without one, on the same input.
        if (status == SEC_I_INCOMPLETE_CREDENTIALS && credentialRetries++ == 0) continue;
        if (!first) KeepLast(inBuffers[1].BufferType == SECBUFFER_EXTRA ? inBuffers[1].cbBuffer : 0);
        if (status == SEC_E_OK) return true;
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
        if (EncryptMessage(&m_context, 0, &desc, 0) != SEC_E_OK) {
            ec = MakeTlsError(TlsError::kProtocol);
            return;
        }
        const std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
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
    const SECURITY_STATUS status = DecryptMessage(&m_context, &desc, 0, nullptr);
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
    if (status == SEC_I_RENEGOTIATE && !RunHandshake(m_raw, ec)) return Step::kFailed;
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

// The system keeps its own session state: nothing to share.
std::shared_ptr<TlsContext> TlsContextCache::Get(const std::string&) { return nullptr; }

std::unique_ptr<Transport> MakeTlsTransport(RawStream& raw, const TlsSettings& settings) {
    return std::make_unique<SchannelTransport>(raw, settings);
}
