// The certificate checks of both builds against one table: natively the session's own OpenSSL
// check, on Windows the check the system-TLS transport runs (under Wine, with the test root in
// the prefix). The certificates are tools/test-certs.sh's; the verdicts must be the same.
#include <gtest/gtest.h>

#include <string>

#include "http/transport.h"
#include "tests/support/support.h"

#ifdef _WIN32
#include <fstream>
#include <iterator>
#include <vector>

#include "http/cert_check_win.h"
#endif

namespace {
using boost::system::error_code;

error_code Verify(const std::string& certs, const std::string& name, const std::string& host) {
    const std::string file = certs + "/" + name + ".pem";
#ifdef _WIN32
    std::ifstream in(file, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        ADD_FAILURE() << "cannot read " << file;
        return {};
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    if (!cert) {
        ADD_FAILURE() << "not a certificate: " << file;
        return {};
    }
    const error_code ec = VerifyCertificate(cert, host);
    CertFreeCertificateContext(cert);
    return ec;
#else
    return VerifyCertificateFile(file, certs + "/ca.pem", host);
#endif
}

// Names come from the subjectAltName only: DNS entries for names, IP entries for addresses.
TEST(CertificateNames, BothBuildsGiveTheSameVerdicts) {
    const std::string certs = zpvtest::Env("ZPV_CERTS");
    ASSERT_FALSE(certs.empty()) << "start the services first with `. tools/services.sh start`";
    const struct {
        const char* cert;
        const char* host;
        const char* verdict;   // "" for accepted
    } cases[] = {
        {"server", "localhost", ""},               // DNS:localhost, IP:127.0.0.1
        {"server", "LocalHost", ""},
        {"server", "127.0.0.1", ""},
        {"server", "127.0.0.2", "wrong name"},
        {"server", "other.test", "wrong name"},
        {"name-cn-name", "localhost", "wrong name"},       // common name only
        {"name-cn-address", "127.0.0.1", "wrong name"},
        {"name-dns-address", "127.0.0.1", "wrong name"},   // an address spelt as a DNS entry
        {"name-wildcard", "a.zpv.test", ""},               // DNS:*.zpv.test
        {"name-wildcard", "A.Zpv.Test", ""},
        {"name-wildcard", "zpv.test", "wrong name"},
        {"name-wildcard", "a.b.zpv.test", "wrong name"},
        {"wrongname", "localhost", "wrong name"},
        {"wrongname", "127.0.0.1", "wrong name"},
        {"expired", "localhost", "expired"},
        {"untrusted", "127.0.0.1", "untrusted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " for " + c.host);
        const error_code ec = Verify(certs, c.cert, c.host);
        EXPECT_EQ(ec ? ec.message() : std::string(), c.verdict);
    }
}

// A stream that must not be touched.
class UntouchedStream : public RawStream {
public:
    void WriteAll(const char*, std::size_t, error_code& ec) override {
        ++calls;
        ec = boost::system::errc::make_error_code(boost::system::errc::broken_pipe);
    }
    std::size_t ReadSome(char*, std::size_t, error_code& ec) override {
        ++calls;
        ec = boost::system::errc::make_error_code(boost::system::errc::broken_pipe);
        return 0;
    }
    int calls = 0;
};

// An empty host (a redirect to "https://:443/...") would check no name at all.
TEST(CertificateNames, EmptyHostFailsBeforeTheHandshake) {
    UntouchedStream raw;
    TlsSettings settings;
    settings.caFile = zpvtest::Env("ZPV_CERTS") + "/ca.pem";
    auto tls = MakeTlsTransport(raw, settings);
    error_code ec;
    tls->Handshake("", ec);
    EXPECT_EQ(ec, MakeTlsError(TlsError::kHandshakeFailed)) << ec.message();
    EXPECT_EQ(raw.calls, 0);
}

}  // namespace
