// The system-TLS transport against a scripted stand-in for the system: each script lists, in
// order, what the transport must do (hand the system these bytes, read from the peer) and what
// the system answers. These are the paths the test servers never take: a client certificate
// request, a renegotiation, a context that expires. The certificates are real
// (tools/test-certs.sh's) and go through the real check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>

#include "http/sspi_win.h"
#include "http/transport.h"
#include "tests/support/support.h"

#include <wincrypt.h>
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>

namespace {
using boost::system::error_code;

enum class Op { kRead, kIsc, kDecrypt };

struct Step {
    Op op = Op::kRead;
    std::string data;             // read: what arrives ("": the peer closed); system: its token or plaintext
    SECURITY_STATUS status = SEC_E_OK;
    std::string input;            // system: the bytes it must be handed
    ULONG extra = 0;              // system: of those, how many it leaves for the next call
    const char* cert = nullptr;   // handshake: the server's certificate from now on
    ULONG withheld = 0;           // handshake: requested attributes it does not grant
    bool suppliedCreds = false;   // handshake: the request must carry ISC_REQ_USE_SUPPLIED_CREDS
};

Step Read(std::string data) {
    Step s;
    s.data = std::move(data);
    return s;
}
Step Isc(std::string input, SECURITY_STATUS status, std::string token = "", ULONG extra = 0,
         const char* cert = nullptr) {
    Step s;
    s.op = Op::kIsc;
    s.data = std::move(token);
    s.status = status;
    s.input = std::move(input);
    s.extra = extra;
    s.cert = cert;
    return s;
}
Step Decrypt(std::string input, SECURITY_STATUS status, std::string plain, ULONG extra = 0) {
    Step s = Isc(std::move(input), status, std::move(plain), extra);
    s.op = Op::kDecrypt;
    return s;
}

// A script being played: where it stands and what the transport did.
struct Script {
    std::vector<Step> steps;
    std::size_t next = 0;
    std::vector<std::string> faults;
    std::string sent;
    std::vector<std::wstring> targets;   // L"-" for none
    int allocations = 0, frees = 0;
    bool alertBufferMissing = false;
    ULONG build = 22631;
    ULONG disabled = 0;
    PCCERT_CONTEXT cert = nullptr;

    const Step* Next(Op op, const char* what) {
        if (next >= steps.size() || steps[next].op != op) {
            faults.push_back(std::string(what) + " at step " + std::to_string(next));
            return nullptr;
        }
        return &steps[next++];
    }
};
Script* g_run = nullptr;
std::string g_certs;

PCCERT_CONTEXT LoadCertificate(const std::string& name) {
    std::ifstream in(g_certs + "/" + name + ".pem", std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        return nullptr;
    }
    return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
}

void CheckInput(const Step& step, const char* data, ULONG size) {
    if (step.input != std::string(data ? data : "", data ? size : 0)) {
        g_run->faults.push_back("handed '" + std::string(data ? data : "", data ? size : 0) + "', expected '" +
                                step.input + "'");
    }
}

SECURITY_STATUS SEC_ENTRY FakeAcquire(LPWSTR, LPWSTR, ULONG, void*, void* auth, SEC_GET_KEY_FN, void*,
                                      PCredHandle credentials, PTimeStamp) {
    const auto* current = static_cast<const SCH_CREDENTIALS*>(auth);
    if (current->dwVersion == SCH_CREDENTIALS_VERSION && current->cTlsParameters > 0) {
        g_run->disabled = current->pTlsParameters[0].grbitDisabledProtocols;
    }
    credentials->dwLower = credentials->dwUpper = 1;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeFreeCredentials(PCredHandle) { return SEC_E_OK; }
SECURITY_STATUS SEC_ENTRY FakeDelete(PCtxtHandle) { return SEC_E_OK; }

SECURITY_STATUS SEC_ENTRY FakeFreeBuffer(void* buffer) {
    delete[] static_cast<char*>(buffer);
    ++g_run->frees;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeIsc(PCredHandle, PCtxtHandle context, SEC_WCHAR* target, ULONG request, ULONG,
                                  ULONG, PSecBufferDesc input, ULONG, PCtxtHandle newContext,
                                  PSecBufferDesc output, PULONG attributes, PTimeStamp) {
    g_run->targets.push_back(target ? target : L"-");
    const Step* step = g_run->Next(Op::kIsc, "handshake step");
    if (!step) return SEC_E_INTERNAL_ERROR;
    if (context) {
        CheckInput(*step, static_cast<const char*>(input->pBuffers[0].pvBuffer), input->pBuffers[0].cbBuffer);
    } else {
        CheckInput(*step, nullptr, 0);
    }
    if (step->suppliedCreds != ((request & ISC_REQ_USE_SUPPLIED_CREDS) != 0)) {
        g_run->faults.push_back("supplied-credentials request at step " + std::to_string(g_run->next - 1));
    }
    bool alert = false;
    SecBuffer* token = nullptr;
    for (ULONG i = 0; i < output->cBuffers; ++i) {
        if (output->pBuffers[i].BufferType == SECBUFFER_ALERT) alert = true;
        if (output->pBuffers[i].BufferType == SECBUFFER_TOKEN) token = &output->pBuffers[i];
    }
    if (!alert) g_run->alertBufferMissing = true;
    if (newContext) newContext->dwLower = newContext->dwUpper = 1;
    if (step->status == SEC_E_INCOMPLETE_MESSAGE) return step->status;
    if (!step->data.empty() && token) {
        token->pvBuffer = new char[step->data.size()];
        std::memcpy(token->pvBuffer, step->data.data(), step->data.size());
        token->cbBuffer = static_cast<ULONG>(step->data.size());
        ++g_run->allocations;
    }
    if (step->extra > 0) input->pBuffers[1] = {step->extra, SECBUFFER_EXTRA, nullptr};
    if (step->cert) {
        if (g_run->cert) CertFreeCertificateContext(g_run->cert);
        g_run->cert = LoadCertificate(step->cert);
    }
    *attributes = request & ~step->withheld;
    return step->status;
}

SECURITY_STATUS SEC_ENTRY FakeQuery(PCtxtHandle, ULONG attribute, void* buffer) {
    switch (attribute) {
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT:
        if (!g_run->cert) return SEC_E_NO_CREDENTIALS;
        *static_cast<PCCERT_CONTEXT*>(buffer) = CertDuplicateCertificateContext(g_run->cert);
        return SEC_E_OK;
    case SECPKG_ATTR_CONNECTION_INFO:
        *static_cast<SecPkgContext_ConnectionInfo*>(buffer) = {};
        static_cast<SecPkgContext_ConnectionInfo*>(buffer)->dwProtocol = SP_PROT_TLS1_2_CLIENT;
        return SEC_E_OK;
    case SECPKG_ATTR_STREAM_SIZES:
        // Records of at most five bytes between a header of two and a trailer of one.
        *static_cast<SecPkgContext_StreamSizes*>(buffer) = {2, 1, 5, 4, 16};
        return SEC_E_OK;
    default:
        return SEC_E_UNSUPPORTED_FUNCTION;
    }
}

SECURITY_STATUS SEC_ENTRY FakeEncrypt(PCtxtHandle, ULONG, PSecBufferDesc message, ULONG) {
    for (ULONG i = 0; i < message->cBuffers; ++i) {
        SecBuffer& b = message->pBuffers[i];
        if (b.BufferType == SECBUFFER_STREAM_HEADER) std::memset(b.pvBuffer, '<', b.cbBuffer);
        if (b.BufferType == SECBUFFER_STREAM_TRAILER) std::memset(b.pvBuffer, '>', b.cbBuffer);
        if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 5) g_run->faults.push_back("record over the sizes");
    }
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeDecrypt(PCtxtHandle, PSecBufferDesc message, ULONG, PULONG) {
    const Step* step = g_run->Next(Op::kDecrypt, "decryption");
    if (!step) return SEC_E_INTERNAL_ERROR;
    SecBuffer* b = message->pBuffers;
    char* data = static_cast<char*>(b[0].pvBuffer);
    const ULONG size = b[0].cbBuffer;
    CheckInput(*step, data, size);
    if (step->status == SEC_E_INCOMPLETE_MESSAGE || step->status == SEC_I_CONTEXT_EXPIRED) return step->status;
    // Decrypted in place, as the system does.
    std::memcpy(data, step->data.data(), step->data.size());
    b[0] = {0, SECBUFFER_STREAM_HEADER, data};
    b[1] = {static_cast<ULONG>(step->data.size()), SECBUFFER_DATA, data};
    b[2] = {0, SECBUFFER_STREAM_TRAILER, data};
    b[3] = step->extra > 0 ? SecBuffer{step->extra, SECBUFFER_EXTRA, data + size - step->extra}
                           : SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    return step->status;
}

ULONG FakeBuild() { return g_run->build; }

const SspiTable kScripted = {FakeAcquire, FakeFreeCredentials, FakeIsc,     FakeDelete, FakeQuery,
                             FakeFreeBuffer, FakeEncrypt,     FakeDecrypt, FakeBuild};

// The peer's side of the connection, read by the same script.
class ScriptStream : public RawStream {
public:
    void WriteAll(const char* data, std::size_t size, error_code& ec) override {
        ec.clear();
        g_run->sent.append(data, size);
    }
    std::size_t ReadSome(char* buffer, std::size_t size, error_code& ec) override {
        ec.clear();
        const Step* step = g_run->Next(Op::kRead, "read");
        if (!step) {
            ec = boost::asio::error::timed_out;   // the peer waits for this side: a stall
            return 0;
        }
        if (step->data.empty()) {
            ec = boost::asio::error::eof;
            return 0;
        }
        const std::size_t n = std::min(size, step->data.size());
        std::memcpy(buffer, step->data.data(), n);
        return n;
    }
};

class ScriptedSspi : public ::testing::Test {
protected:
    void SetUp() override {
        g_certs = zpvtest::Env("ZPV_CERTS");
        ASSERT_FALSE(g_certs.empty()) << "start the services first with `. tools/services.sh start`";
        m_table.emplace(settings::sspiTable, &kScripted);
    }
    void TearDown() override {
        m_table.reset();
        if (g_run && g_run->cert) CertFreeCertificateContext(g_run->cert);
        g_run = nullptr;
    }
    std::optional<Setting<const SspiTable*>::Override> m_table;
};

// The opening of every script: the client's greeting, the server's flight, done.
std::vector<Step> Opening(std::vector<Step> rest) {
    std::vector<Step> steps = {Isc("", SEC_I_CONTINUE_NEEDED, "C1"), Read("S1"),
                               Isc("S1", SEC_E_OK, "", 0, "server")};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

TEST_F(ScriptedSspi, PathsTheTestServersNeverTake) {
    Step retry = Isc("S1S2", SEC_E_OK, "C2", 0, "server");
    retry.suppliedCreds = true;
    Step again = Isc("S1", SEC_I_INCOMPLETE_CREDENTIALS);
    again.suppliedCreds = true;
    Step noConfidentiality = Isc("S1", SEC_E_OK, "", 0, "server");
    noConfidentiality.withheld = ISC_RET_CONFIDENTIALITY;
    Step noStream = Isc("S1", SEC_E_OK, "", 0, "server");
    noStream.withheld = ISC_RET_STREAM;
    const error_code eof = boost::asio::error::eof;
    const struct {
        const char* name;
        const char* host;
        std::vector<Step> steps;
        error_code handshake;   // how the handshake ends
        std::string write;      // then written
        std::string read;       // then read, until
        error_code end;
        std::string sent;
    } cases[] = {
        // The server asks for a client certificate: go on without one at once, without a read.
        {"client certificate requested", "localhost",
         {Isc("", SEC_I_CONTINUE_NEEDED, "C1"), Read("S1"), Isc("S1", SEC_E_INCOMPLETE_MESSAGE), Read("S2"),
          Isc("S1S2", SEC_I_INCOMPLETE_CREDENTIALS), retry, Read("")},
         {}, "", "", eof, "C1C2"},
        {"client certificate requested twice", "localhost",
         {Isc("", SEC_I_CONTINUE_NEEDED, "C1"), Read("S1"), Isc("S1", SEC_I_INCOMPLETE_CREDENTIALS), again},
         MakeTlsError(TlsError::kHandshakeFailed), "", "", {}, "C1"},
        // The first record arrives with the server's last handshake message.
        {"extra data after the handshake", "127.0.0.1",
         {Isc("", SEC_I_CONTINUE_NEEDED, "C1"), Read("S1A1xx"), Isc("S1A1xx", SEC_E_OK, "", 4, "server"),
          Decrypt("A1xx", SEC_E_OK, "hi"), Read("")},
         {}, "", "hi", eof, "C1"},
        {"renegotiation presenting another certificate", "localhost",
         Opening({Read("D1D1R1R1"), Decrypt("D1D1R1R1", SEC_I_RENEGOTIATE, "ok", 4),
                  Isc("R1R1", SEC_E_OK, "C2", 0, "wrongname")}),
         {}, "", "", MakeTlsError(TlsError::kWrongName), "C1C2"},
        // A message after a TLS 1.3 handshake (a session ticket) with the same certificate.
        {"post-handshake message", "localhost",
         Opening({Read("T1T1"), Decrypt("T1T1", SEC_I_RENEGOTIATE, "", 4), Isc("T1T1", SEC_E_OK), Read("D1D1"),
                  Decrypt("D1D1", SEC_E_OK, "data"), Read("")}),
         {}, "", "data", eof, "C1"},
        {"context expires", "localhost",
         Opening({Read("D1D1X1"), Decrypt("D1D1X1", SEC_E_OK, "ab", 2), Decrypt("X1", SEC_I_CONTEXT_EXPIRED, "")}),
         {}, "", "ab", eof, "C1"},
        {"message larger than the stream sizes", "127.0.0.1", Opening({Read("")}), {}, "abcdefghijkl", "", eof,
         "C1<<abcde><<fghij><<kl>"},
        {"no confidentiality", "localhost",
         {Isc("", SEC_I_CONTINUE_NEEDED, "C1"), Read("S1"), noConfidentiality},
         MakeTlsError(TlsError::kHandshakeFailed), "", "", {}, "C1"},
        {"no stream", "localhost", {Isc("", SEC_I_CONTINUE_NEEDED, "C1"), Read("S1"), noStream},
         MakeTlsError(TlsError::kHandshakeFailed), "", "", {}, "C1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Script run;
        run.steps = c.steps;
        g_run = &run;
        {
            ScriptStream raw;
            TlsSettings settings;
            auto tls = MakeTlsTransport(raw, settings);
            error_code ec;
            tls->Handshake(c.host, ec);
            EXPECT_EQ(ec, c.handshake) << ec.message();
            if (!ec) {
                if (!c.write.empty()) {
                    tls->WriteAll(c.write.data(), c.write.size(), ec);
                    EXPECT_FALSE(ec) << ec.message();
                }
                std::string got;
                char buffer[3];   // smaller than a record: the rest waits for the next read
                for (std::size_t n; (n = tls->ReadSome(buffer, sizeof buffer, ec)) > 0;) got.append(buffer, n);
                EXPECT_EQ(got, c.read);
                EXPECT_EQ(ec, c.end) << ec.message();
                // A context that ended stays ended, without another word from the peer.
                if (c.end == eof && run.steps.back().op != Op::kRead) {
                    EXPECT_EQ(tls->ReadSome(buffer, sizeof buffer, ec), 0u);
                    EXPECT_EQ(ec, eof);
                }
            }
        }
        EXPECT_EQ(run.next, run.steps.size()) << "script not played to its end";
        for (const std::string& fault : run.faults) ADD_FAILURE() << fault;
        EXPECT_EQ(run.sent, c.sent);
        EXPECT_EQ(run.allocations, run.frees);
        EXPECT_FALSE(run.alertBufferMissing);
        // An address is no name: no name indication for it.
        const std::wstring target = std::string(c.host) == "127.0.0.1" ? L"-" : L"localhost";
        for (const std::wstring& t : run.targets) EXPECT_EQ(t, target);
        if (run.cert) CertFreeCertificateContext(run.cert);
        run.cert = nullptr;
        g_run = nullptr;
    }
}

// TLS 1.3 only from the first build whose 1.3 is sound (0: the build could not be read).
TEST_F(ScriptedSspi, Tls13OfferedFromItsFirstSoundBuild) {
    const struct {
        ULONG build;
        bool offered;
    } cases[] = {{0, false}, {19045, false}, {20347, false}, {20348, true}, {22631, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.build);
        Script run;
        run.steps = {Isc("", SEC_E_INTERNAL_ERROR)};
        run.build = c.build;
        g_run = &run;
        ScriptStream raw;
        auto tls = MakeTlsTransport(raw, TlsSettings());
        error_code ec;
        tls->Handshake("localhost", ec);
        EXPECT_EQ(ec, MakeTlsError(TlsError::kHandshakeFailed));
        EXPECT_EQ((run.disabled & SP_PROT_TLS1_3_CLIENT) == 0, c.offered);
        EXPECT_NE(run.disabled & SP_PROT_TLS1_1_CLIENT, 0u);
        g_run = nullptr;
    }
}

}  // namespace
