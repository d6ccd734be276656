// TLS natively: OpenSSL through Asio's SSL stream, driven synchronously over the connection's
// bounded RawStream (see transport.h for the seam).
#include "http/transport.h"

#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// The next layer of the SSL stream: synchronous reads and writes that go to whichever
// RawStream is current (the deadline-bound one during the handshake).
class RawAdapter {
public:
    using executor_type = asio::io_context::executor_type;
    using lowest_layer_type = RawAdapter;

    RawAdapter(RawStream* raw, asio::io_context& io) : m_raw(raw), m_io(&io) {}
    executor_type get_executor() noexcept { return m_io->get_executor(); }
    lowest_layer_type& lowest_layer() { return *this; }
    const lowest_layer_type& lowest_layer() const { return *this; }
    void Use(RawStream* raw) { m_raw = raw; }

    template <class Buffers>
    std::size_t read_some(const Buffers& buffers, error_code& ec) {
        const asio::mutable_buffer b = *asio::buffer_sequence_begin(buffers);
        ec.clear();
        if (b.size() == 0) return 0;
        return m_raw->ReadSome(static_cast<char*>(b.data()), b.size(), ec);
    }
    template <class Buffers>
    std::size_t write_some(const Buffers& buffers, error_code& ec) {
        const asio::const_buffer b = *asio::buffer_sequence_begin(buffers);
        m_raw->WriteAll(static_cast<const char*>(b.data()), b.size(), ec);
        return ec ? 0 : b.size();
    }

private:
    RawStream* m_raw;
    asio::io_context* m_io;
};

bool IsStreamEnd(const error_code& ec) {
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

bool IsTlsLayerError(const error_code& ec) {
    return ec.category() == asio::error::get_ssl_category() ||
           ec.category() == asio::ssl::error::get_stream_category();
}

TlsError CertificateReason(long verifyResult) {
    switch (verifyResult) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return TlsError::kUntrusted;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return TlsError::kExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TlsError::kWrongName;
    default:
        return TlsError::kBadCertificate;
    }
}

bool IsAddress(const std::string& host) {
    error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

// The host the certificate must be for, by the rule of both builds: an address only among
// the subjectAltName's IP entries, a name only among its DNS entries (a wildcard standing for
// a whole first label), never the subject's common name. An empty name is refused: an empty
// expectation would check no name at all.
bool ExpectHost(X509_VERIFY_PARAM* param, const std::string& host) {
    if (host.empty()) return false;
    if (IsAddress(host)) return X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    X509_VERIFY_PARAM_set_hostflags(param,
                                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    return X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
}

}  // namespace

class TlsContext {
public:
    // TLS 1.2 and later, no compression, the peer verified against caFile or the system's roots.
    explicit TlsContext(const std::string& caFile, error_code& ec) : m_context(asio::ssl::context::tls_client) {
        SSL_CTX* ctx = m_context.native_handle();
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        // Sessions waiting for the next read keep no buffers of their own.
        SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
        m_context.set_options(asio::ssl::context::no_compression);
        if (caFile.empty()) {
            m_context.set_default_verify_paths(ec);
        } else {
            m_context.load_verify_file(caFile, ec);
        }
        if (!ec) m_context.set_verify_mode(asio::ssl::verify_peer);
    }
    asio::ssl::context& Native() { return m_context; }

private:
    asio::ssl::context m_context;
};

std::shared_ptr<TlsContext> TlsContextCache::Get(const std::string& caFile) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_context || caFile != m_caFile) {
        error_code ec;
        auto context = std::make_shared<TlsContext>(caFile, ec);
        if (ec) return nullptr;   // each session fails with the reason itself
        m_context = std::move(context);
        m_caFile = caFile;
    }
    return m_context;
}

namespace {

class OpenSslTransport : public Transport {
public:
    OpenSslTransport(RawStream& raw, const TlsSettings& settings) : m_raw(raw), m_settings(settings) {}

    void Handshake(const std::string& hostName, error_code& ec) override {
        ec.clear();
        if (!Configure(hostName, ec)) return;
        DeadlineStream bounded(m_raw, m_settings.handshakeTimeoutMs);
        m_stream->next_layer().Use(&bounded);
        m_stream->handshake(asio::ssl::stream_base::client, ec);
        m_stream->next_layer().Use(&m_raw);
        if (ec) {
            ec = HandshakeFailure(ec);
            m_stream.reset();
        }
    }

    void WriteAll(const char* data, std::size_t size, error_code& ec) override {
        if (!m_stream) {
            ec = MakeTlsError(TlsError::kHandshakeFailed);
            return;
        }
        asio::write(*m_stream, asio::buffer(data, size), ec);
        if (ec && IsTlsLayerError(ec)) ec = MakeTlsError(TlsError::kProtocol);
    }

    // A peer that closes without the TLS closing alert is taken as the end of the stream, as
    // with plain HTTP: many servers do so, and a cut-off body is caught by the length and
    // digest checks above this layer.
    std::size_t ReadSome(char* buffer, std::size_t size, error_code& ec) override {
        if (!m_stream) {
            ec = MakeTlsError(TlsError::kHandshakeFailed);
            return 0;
        }
        const std::size_t n = m_stream->read_some(asio::buffer(buffer, size), ec);
        if (!ec) return n;
        if (IsStreamEnd(ec)) {
            ec = asio::error::eof;
        } else if (IsTlsLayerError(ec)) {
            ec = MakeTlsError(TlsError::kProtocol);
        }
        return 0;
    }

private:
    bool Configure(const std::string& hostName, error_code& ec) {
        m_context = m_settings.context;
        if (!m_context) {
            m_context = std::make_shared<TlsContext>(m_settings.caFile, ec);
            if (ec) return false;
        }
        m_stream = std::make_unique<asio::ssl::stream<RawAdapter>>(RawAdapter(&m_raw, m_io), m_context->Native());
        SSL* ssl = m_stream->native_handle();
        if (!ExpectHost(SSL_get0_param(ssl), hostName)) return Fail(ec);
        // Names only in the name indication: an address is no name.
        if (!IsAddress(hostName) && SSL_set_tlsext_host_name(ssl, hostName.c_str()) != 1) return Fail(ec);
        return true;
    }

    bool Fail(error_code& ec) {
        ec = MakeTlsError(TlsError::kHandshakeFailed);
        m_stream.reset();
        return false;
    }

    // Timeouts, stop requests and socket errors stay as they are; a refused certificate is
    // named by its reason; anything else from the TLS layer means no session was agreed.
    error_code HandshakeFailure(const error_code& ec) const {
        if (!IsTlsLayerError(ec) && !IsStreamEnd(ec)) return ec;
        const long verify = SSL_get_verify_result(m_stream->native_handle());
        if (verify != X509_V_OK) return MakeTlsError(CertificateReason(verify));
        return MakeTlsError(TlsError::kHandshakeFailed);
    }

    RawStream& m_raw;
    TlsSettings m_settings;
    asio::io_context m_io;   // only lends its executor to the stream; never run
    std::shared_ptr<TlsContext> m_context;   // outlives the stream
    std::unique_ptr<asio::ssl::stream<RawAdapter>> m_stream;
};

}  // namespace

error_code VerifyCertificateFile(const std::string& certFile, const std::string& caFile, const std::string& hostName) {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    BIO* file = BIO_new_file(certFile.c_str(), "r");
    X509* cert = file ? PEM_read_bio_X509(file, nullptr, nullptr, nullptr) : nullptr;
    error_code ec = MakeTlsError(TlsError::kHandshakeFailed);
    if (store && context && cert && X509_STORE_load_file(store, caFile.c_str()) == 1 &&
        X509_STORE_CTX_init(context, store, cert, nullptr) == 1 &&
        X509_STORE_CTX_set_default(context, "ssl_server") == 1 &&
        ExpectHost(X509_STORE_CTX_get0_param(context), hostName)) {
        ec = X509_verify_cert(context) == 1 ? error_code()
                                            : MakeTlsError(CertificateReason(X509_STORE_CTX_get_error(context)));
    }
    X509_free(cert);
    BIO_free(file);
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);
    return ec;
}

std::unique_ptr<Transport> MakeTlsTransport(RawStream& raw, const TlsSettings& settings) {
    return std::make_unique<OpenSslTransport>(raw, settings);
}
