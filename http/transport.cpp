#include "http/transport.h"

#include <boost/asio/error.hpp>

namespace {

class TlsErrorCategory : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "tls"; }
    std::string message(int ev) const override {
        switch (static_cast<TlsError>(ev)) {
        case TlsError::kUntrusted: return "untrusted";
        case TlsError::kExpired: return "expired";
        case TlsError::kWrongName: return "wrong name";
        case TlsError::kBadCertificate: return "bad certificate";
        case TlsError::kHandshakeFailed: return "handshake failed";
        case TlsError::kProtocol: return "TLS protocol error";
        }
        return "TLS error";
    }
};

class PlainTransport : public Transport {
public:
    explicit PlainTransport(RawStream& raw) : m_raw(raw) {}
    void Handshake(const std::string&, boost::system::error_code& ec) override { ec.clear(); }
    void WriteAll(const char* data, std::size_t size, boost::system::error_code& ec) override {
        m_raw.WriteAll(data, size, ec);
    }
    std::size_t ReadSome(char* buffer, std::size_t size, boost::system::error_code& ec) override {
        return m_raw.ReadSome(buffer, size, ec);
    }

private:
    RawStream& m_raw;
};

}  // namespace

const boost::system::error_category& TlsCategory() {
    static const TlsErrorCategory category;
    return category;
}

boost::system::error_code MakeTlsError(TlsError e) {
    return boost::system::error_code(static_cast<int>(e), TlsCategory());
}

std::unique_ptr<Transport> MakePlainTransport(RawStream& raw) {
    return std::make_unique<PlainTransport>(raw);
}

DeadlineStream::DeadlineStream(RawStream& raw, std::uint32_t limitMs)
    : m_raw(raw), m_limitMs(limitMs),
      m_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs)) {}

bool DeadlineStream::Expired(boost::system::error_code& ec) const {
    if (m_limitMs == 0 || std::chrono::steady_clock::now() < m_deadline) return false;
    ec = boost::asio::error::timed_out;
    return true;
}

void DeadlineStream::WriteAll(const char* data, std::size_t size, boost::system::error_code& ec) {
    if (Expired(ec)) return;
    m_raw.WriteAll(data, size, ec);
}

std::size_t DeadlineStream::ReadSome(char* buffer, std::size_t size, boost::system::error_code& ec) {
    if (Expired(ec)) return 0;
    return m_raw.ReadSome(buffer, size, ec);
}
