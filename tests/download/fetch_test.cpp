// The fetch tool as scripts see it: its exit status and last line by cause, its command line,
// and server text that never reaches standard output with its control characters.
#include <gtest/gtest.h>

#include <signal.h>

#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "test_server.h"
#include "test_util.h"

namespace {
class FetchTool : public dltest::DownloadFixture {
protected:
    // Runs the tool to its end; its exit status, and its standard output in m_out.
    int RunFetch(const std::vector<std::string>& args, const std::function<void(pid_t)>& meanwhile = nullptr) {
        const std::string outFile = (m_dir / "stdout.txt").string();
        const pid_t pid = dltest::SpawnFetch(args, outFile);
        if (pid <= 0) return -1000;
        if (meanwhile) meanwhile(pid);
        const int status = dltest::WaitExit(pid);
        m_out = zpvtest::ReadFile(outFile);
        return status;
    }
    std::string LastLine() const {
        std::string text = m_out;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    }
    std::string m_out;
};

const std::string kWrongMd5 = "0123456789abcdef0123456789abcdef";
}  // namespace

// One row per exit status: {host} stands for the row's server, {dir} for the test's folder.
TEST_F(FetchTool, ExitStatusAndLastLineByCause) {
    auto body = std::make_shared<const std::string>(zpvtest::Noise(300000));
    const std::string md5 = MD5Hex(body->data(), body->size());
    ServeOptions noLength, reset, slow;
    noLength.noLength = true;
    reset.resetAfter = 3000;
    slow.writeSize = 4096;
    slow.pauseMs = 100;
    boost::asio::io_context io;   // a port bound here and never listening: connections are refused
    boost::asio::ip::tcp::acceptor closed(io);
    closed.open(boost::asio::ip::tcp::v4());
    closed.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
    const std::string refused = "127.0.0.1:" + std::to_string(closed.local_endpoint().port());
    const std::string untrusted = "127.0.0.1:" + zpvtest::Env("ZPV_HTTPS_UNTRUSTED_PORT");
    const std::string cafile = "-cafile=" + zpvtest::Env("ZPV_CERTS") + "/ca.pem";

    struct Row {
        const char* name;
        TestServer::Handler server;   // null: none
        std::vector<std::string> args;
        int status;
        std::string lastLine;         // part of the last line of standard output
        bool terminate = false;       // SIGTERM once the download runs
        std::vector<std::string> mentions = {};   // somewhere in standard output
    };
    const std::string url = "-url=http://{host}/p.zip";
    const Row rows[] = {
        {"ok, folder created", ServeFile(body), {url, "-md5=" + md5, "-dir={dir}new/sub"}, 0, "ok: "},
        {"help", nullptr, {"--help"}, 0, "", false, {"-url=", "-md5=", "-dir=", "-retrypause=", "-quiet=", "-cafile=", "--help",
                                                     "11 local file write", "12 stopped"}},
        {"unknown option", ServeFile(body), {url, "-md5=" + md5, "-bogus=1"}, 2, ""},
        {"number not a number", ServeFile(body), {url, "-md5=" + md5, "-retrypause=abc"}, 2, ""},
        {"flag not 0 or 1", ServeFile(body), {url, "-md5=" + md5, "-quiet=yes"}, 2, ""},
        {"option without a value", ServeFile(body), {"-url", "-md5=" + md5}, 2, ""},
        {"empty value", ServeFile(body), {"--url=", "-md5=" + md5}, 2, ""},
        {"other scheme", ServeFile(body), {"-url=ftp://{host}/p.zip", "-md5=" + md5}, 2, ""},
        {"name lookup", nullptr, {"-url=http://zpv-no-such-host.invalid/p.zip", "-md5=" + md5}, 3, "(name lookup)"},
        {"connect", nullptr, {"-url=http://" + refused + "/p.zip", "-md5=" + md5}, 4, "(connect)"},
        {"certificate", nullptr, {"-url=https://" + untrusted + "/p.zip", "-md5=" + md5, cafile}, 5, "untrusted"},
        {"HTTP status", ServeText("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"), {url, "-md5=" + md5}, 6,
         "(HTTP status): HTTP status 404"},
        {"not HTTP", ServeText("ICY 200 OK\r\n\r\n"), {url, "-md5=" + md5}, 7, "(bad response)"},
        {"transfer", ServeFile(body, reset), {url, "-md5=" + md5}, 8, "(transfer)"},
        {"length", ServeFile(body, noLength), {url, "-md5=" + md5}, 9, "(length)"},
        {"digest", ServeFile(body), {url, "-md5=" + kWrongMd5}, 10, "(digest): MD5 digest " + md5 + " received, " + kWrongMd5},
        {"local file write", ServeFile(body), {url, "-md5=" + md5, "-dir={dir}full"}, 11, "(local file write)"},
        {"stopped", ServeFile(body, slow), {url, "-md5=" + md5}, 12, "(stopped)", true},
    };
    std::filesystem::create_directory(File("full"));
    std::filesystem::create_symlink("/dev/full", File("full/update.td1"));   // every write: no space left
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<TestServer> server;
        if (row.server) server = std::make_unique<TestServer>(row.server);
        std::vector<std::string> args;
        for (std::string a : row.args) {
            for (const auto& [key, value] : {std::pair<std::string, std::string>{"{host}", server ? server->Host() : ""},
                                             {"{dir}", Folder()}}) {
                if (a.find(key) != std::string::npos) a.replace(a.find(key), key.size(), value);
            }
            args.push_back(a);
        }
        args.push_back("-retrypause=0");
        const int status = RunFetch(args, [&](pid_t pid) {
            if (row.terminate && server && server->WaitConnections(3, 5000)) kill(pid, SIGTERM);
        });
        EXPECT_EQ(status, row.status) << m_out;
        if (!row.lastLine.empty()) {
            EXPECT_NE(LastLine().find(row.lastLine), std::string::npos) << m_out;
        }
        for (const std::string& part : row.mentions) EXPECT_NE(m_out.find(part), std::string::npos) << part;
        if (row.status == 2 && server) {
            EXPECT_EQ(server->ConnectionCount(), 0);
        }
    }
    EXPECT_EQ(zpvtest::ReadFile(File("new/sub/update.zip")), *body);
}

TEST_F(FetchTool, EscapesServerText) {
    TestServer server(ServeText("HTTP/1.1 302 Found\r\nLocation: http://evil\x1b]0;owned\x07\x1b[2J\r\n\r\n"));
    const int status = RunFetch({"-url=http://" + server.Host() + "/p.zip", "-md5=0123456789abcdef0123456789abcdef",
                                 "-dir=" + Folder(), "-retrypause=0", "-quiet=1"});
    EXPECT_EQ(status, 7);   // a redirect target that cannot be followed
    EXPECT_NE(m_out.find("\\x1b[2J"), std::string::npos) << m_out;
    for (char c : m_out) {
        const unsigned char u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 || c == '\n') << "control character " << int(u) << " in: " << m_out;
        if (u < 0x20 && c != '\n') break;
    }
}
