// The fetch tool on a terminal: text that comes from a server never reaches standard output
// with its control characters (a terminal would obey escape sequences).
#include <gtest/gtest.h>

#include "test_server.h"
#include "test_util.h"

namespace {
class FetchTool : public dltest::DownloadFixture {};
}  // namespace

TEST_F(FetchTool, EscapesServerText) {
    TestServer server(ServeText("HTTP/1.1 302 Found\r\nLocation: http://evil\x1b]0;owned\x07\x1b[2J\r\n\r\n"));
    const std::string out = (m_dir / "stdout.txt").string();
    const pid_t pid = dltest::SpawnFetch({"-url=http://" + server.Host() + "/p.zip",
                                          "-md5=0123456789abcdef0123456789abcdef", "-dir=" + Folder(),
                                          "-retrypause=0", "-quiet=1"}, out);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(dltest::WaitExit(pid), 1);
    const std::string text = zpvtest::ReadFile(out);
    EXPECT_NE(text.find("\\x1b[2J"), std::string::npos) << text;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 || c == '\n') << "control character " << int(u) << " in: " << text;
        if (u < 0x20 && c != '\n') break;
    }
}
