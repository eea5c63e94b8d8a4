// The probe's HTTP client against real servers on loopback.
#include <gtest/gtest.h>

#include <fstream>

#include "LoopbackServer.h"
#include "TestSupport.h"
#include "core/Http.h"

namespace {

const std::string kBody = "{\"active\":\"CertInfo\", \"name\" : \"GetOCXVersion\"}";

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override { RecordDebugOutput(&debug); }

    // The exchange record of the request to `url`, which must be the latest.
    std::string LoggedFor(const std::string& url) {
        const std::vector<LogRecord> records = RecordsAt("core/Http.cpp", 150);
        if (records.empty()) return "<none>";
        const std::string& m = records.back().message;
        const std::string prefix = "url:" + url + ",response:";
        if (m.compare(0, prefix.size(), prefix) != 0) return "<other> " + m.substr(0, 80);
        return m.substr(prefix.size());
    }
    bool MarkerSent() const {
        for (const auto& d : debug) {
            if (d == L"--------------------<>") return true;
        }
        return false;
    }

    PlatformScope platform;
    std::vector<std::wstring> debug;
};

void Reply(SOCKET s, int status, const std::string& body) {
    CLoopbackServer::SendAll(s, CLoopbackServer::Response(status, body));
}

}  // namespace

TEST_F(HttpTest, SendsTheProbeAsJsonPostToTheRoot) {
    CLoopbackServer server([](SOCKET s, const std::string&) { Reply(s, 200, "{\"ok\":1}"); });
    EXPECT_EQ(HttpPost(server.Url(), kBody), "{\"ok\":1}");
    EXPECT_FALSE(MarkerSent());
    EXPECT_EQ(LoggedFor(server.Url()), "{\"ok\":1}");

    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string request = server.Requests()[0];
    EXPECT_EQ(request.compare(0, 16, "POST / HTTP/1.1\r"), 0) << request;
    EXPECT_NE(request.find("\r\nContent-Type:application/json\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.find("x-www-form-urlencoded"), std::string::npos) << "the default type is replaced";
    EXPECT_NE(request.find("\r\nContent-Length: 47\r\n"), std::string::npos) << request;
    ASSERT_EQ(kBody.size(), 47u);
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), kBody);
}

TEST_F(HttpTest, RefusedConnectionGivesEmptyAtOnce) {
    const std::string url = "http://127.0.0.1:" + std::to_string(RefusedPort());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpPost(url, kBody), "");
    EXPECT_LT(SecondsSince(start), 4.0);
    EXPECT_TRUE(MarkerSent());
    EXPECT_EQ(LoggedFor(url), "");
    const std::vector<LogRecord> records = RecordsAt("core/Http.cpp", 150);
    EXPECT_EQ(records.back().value, "0");
}

TEST_F(HttpTest, SilentServerGivesEmptyAfterSixSeconds) {
    CLoopbackServer server([](SOCKET s, const std::string&) {
        char b;
        recv(s, &b, 1, 0);  // holds the connection until the client gives up
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpPost(server.Url(), kBody), "");
    const double took = SecondsSince(start);
    // libcurl counts the request's own upload in its speed window, so the
    // 6-second floor starts once those bytes have aged out of it: 12.0 s
    // measured here (a 10-second window takes 16 s).
    EXPECT_GE(took, 11.0);
    EXPECT_LT(took, 13.8);
    EXPECT_TRUE(MarkerSent());
}

TEST_F(HttpTest, UnansweredHandshakeGivesEmptyAfterFiveSeconds) {
    CLoopbackServer unused([](SOCKET, const std::string&) {});  // brings Winsock up
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    // Connections nobody accepts fill the backlog; later handshakes go unanswered.
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 8; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        u_long nonBlocking = 1;
        ioctlsocket(fillers.back(), FIONBIO, &nonBlocking);
        connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    Sleep(300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpPost("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), kBody), "");
    const double took = SecondsSince(start);
    EXPECT_GE(took, 4.5);
    EXPECT_LT(took, 8.0);
    EXPECT_TRUE(MarkerSent());
    for (SOCKET s : fillers) closesocket(s);
    closesocket(listener);
}

TEST_F(HttpTest, TricklingReplyEndsAfterThirtySecondsWithWhatArrived) {
    std::atomic<bool> done{false};
    CLoopbackServer server([&](SOCKET s, const std::string&) {
        std::string head = CLoopbackServer::Response(200, std::string(400, 't'));
        head.resize(head.size() - 400);
        CLoopbackServer::SendAll(s, head);
        for (int i = 0; i < 200 && !done; ++i, Sleep(1000)) CLoopbackServer::SendAll(s, "tt");
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string got = HttpPost(server.Url(), kBody);
    const double took = SecondsSince(start);
    done = true;
    EXPECT_GE(took, 29.0);
    EXPECT_LT(took, 34.0);
    EXPECT_GE(got.size(), 50u);
    EXPECT_EQ(got, std::string(got.size(), 't'));
    EXPECT_TRUE(MarkerSent());
}

TEST_F(HttpTest, ProxyVariablesDoNotDivertTheProbe) {
    CLoopbackServer server([](SOCKET s, const std::string&) { Reply(s, 200, "direct"); });
    const std::string proxy = "http://127.0.0.1:" + std::to_string(RefusedPort());
    for (const char* name : {"http_proxy", "HTTP_PROXY", "ALL_PROXY"}) {
        _putenv_s(name, proxy.c_str());
        EXPECT_EQ(HttpPost(server.Url(), kBody), "direct") << name;
        _putenv_s(name, "");
    }
}

TEST_F(HttpTest, EmptyBodyIsEmptyWithoutFailure) {
    CLoopbackServer server([](SOCKET s, const std::string&) { Reply(s, 200, ""); });
    EXPECT_EQ(HttpPost(server.Url(), kBody), "");
    EXPECT_FALSE(MarkerSent());
    EXPECT_EQ(LoggedFor(server.Url()), "");
}

TEST_F(HttpTest, ErrorStatusDeliversNoBody) {
    for (int status : {404, 500}) {
        debug.clear();
        CLoopbackServer server([status](SOCKET s, const std::string&) { Reply(s, status, "error page"); });
        EXPECT_EQ(HttpPost(server.Url(), kBody), "") << status;
        EXPECT_TRUE(MarkerSent()) << status;
        EXPECT_EQ(LoggedFor(server.Url()), "") << status;
    }
    // Below 400 still counts as an answer.
    CLoopbackServer server([](SOCKET s, const std::string&) { Reply(s, 399, "odd but alive"); });
    EXPECT_EQ(HttpPost(server.Url(), kBody), "odd but alive");
}

TEST_F(HttpTest, ReplyIsCappedAtOneMebibyte) {
    const std::string whole(kMaxReplyBytes, 'w');
    CLoopbackServer exact([&](SOCKET s, const std::string&) { Reply(s, 200, whole); });
    EXPECT_EQ(HttpPost(exact.Url(), kBody), whole);
    EXPECT_FALSE(MarkerSent());
    EXPECT_EQ(LoggedFor(exact.Url()), whole.substr(0, 1024) + "...(1048576 bytes)");

    std::string over(kMaxReplyBytes + 1, 'o');
    over[0] = 'F';
    CLoopbackServer larger([&](SOCKET s, const std::string&) { Reply(s, 200, over); });
    const std::string got = HttpPost(larger.Url(), kBody);
    EXPECT_LT(got.size(), over.size());
    EXPECT_LE(got.size(), kMaxReplyBytes);
    EXPECT_EQ(got, over.substr(0, got.size())) << "a prefix, cut at a chunk boundary";
    EXPECT_TRUE(MarkerSent());
}

// A reply may hold whole lines shaped like the guard's records.
TEST_F(HttpTest, BinaryBodyIsReturnedUnchangedAndLoggedEscaped) {
    const std::string forged = "[2026-03-01 09:00:00.000000][0x00000001]: CZUNACertService.cpp [ 368 ]  :  [ 0 ] ";
    const std::string body = std::string("a\0b\r\n", 5) + forged + "\r\nc\nd\x7f\x1b";
    CLoopbackServer server([&](SOCKET s, const std::string&) { Reply(s, 200, body); });
    EXPECT_EQ(HttpPost(server.Url(), kBody), body);
    EXPECT_EQ(LoggedFor(server.Url()), "a\\x00b\\r\\n" + forged + "\\r\\nc\\nd\\x7f\\x1b");
}

TEST_F(HttpTest, RedirectIsFollowed) {
    CLoopbackServer target([](SOCKET s, const std::string&) { Reply(s, 200, "moved here"); });
    for (int status : {302, 307}) {
        const std::string location = "Location: " + target.Url("/next") + "\r\n";
        CLoopbackServer first([&](SOCKET s, const std::string&) {
            CLoopbackServer::SendAll(s, CLoopbackServer::Response(status, "", location));
        });
        EXPECT_EQ(HttpPost(first.Url(), kBody), "moved here") << status;
        EXPECT_EQ(LoggedFor(first.Url()), "moved here");
    }
    ASSERT_EQ(target.Requests().size(), 2u);
    // libcurl turns a POST into a GET on 302, as browsers do, and keeps it on 307.
    EXPECT_EQ(target.Requests()[0].compare(0, 9, "GET /next"), 0) << target.Requests()[0];
    EXPECT_EQ(target.Requests()[1].compare(0, 10, "POST /next"), 0) << target.Requests()[1];
    EXPECT_EQ(target.Requests()[1].substr(target.Requests()[1].find("\r\n\r\n") + 4), kBody);
}

TEST_F(HttpTest, SetAbortFlagEndsASlowTransfer) {
    std::atomic<bool> release{false};
    CLoopbackServer server([&](SOCKET s, const std::string&) {
        std::string head = CLoopbackServer::Response(200, "0123456789");
        head.resize(head.size() - 10);
        CLoopbackServer::SendAll(s, head);
        // One byte every 5 s never trips the low-speed floor.
        for (int i = 0; i < 10 && !release; ++i) {
            CLoopbackServer::SendAll(s, std::string(1, static_cast<char>('0' + i)));
            for (int w = 0; w < 50 && !release; ++w) Sleep(100);
        }
    });
    std::atomic<LONG> abort{0};
    std::thread stopper([&] {
        Sleep(1500);
        abort = 1;
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string got = HttpPost(server.Url(), kBody, &abort);
    const double took = SecondsSince(start);
    release = true;
    stopper.join();
    EXPECT_LT(took, 4.0);
    EXPECT_EQ(got, "0") << "what arrived before the stop";
}

// The stand-in guarded program, driven through its control file.
class StandinTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        KillAllNamed(L"ZUNATAVLService.exe");
        dir = TestDir() + L"\\standin-http";
        ::CreateDirectoryW(dir.c_str(), nullptr);
        ::DeleteFileW((dir + L"\\requests.log").c_str());
        ::DeleteFileW((dir + L"\\standin.ctl").c_str());
        ASSERT_TRUE(::CopyFileW(StandinExe().c_str(), (dir + L"\\ZUNATAVLService.exe").c_str(), FALSE));
        child = StartProcess(dir + L"\\ZUNATAVLService.exe", L"", dir);
        ASSERT_TRUE(child.process);
        ASSERT_TRUE(WaitUntil([] { return !HttpPost("http://127.0.0.1:58000", "{}").empty(); },
                              std::chrono::seconds(10)));
    }
    void TearDown() override {
        ::TerminateProcess(child.process.get(), 0);
        ::WaitForSingleObject(child.process.get(), 5000);
    }
    void Mode(const std::string& line) { WriteTextFile(dir + L"\\standin.ctl", line + "\n"); }

    std::wstring dir;
    ChildProcess child;
};

TEST_F(StandinTest, PlaysEachFaultTheGuardMustSurvive) {
    const std::string url = "http://127.0.0.1:58000";
    Mode("normal {\"ver\":\"2\"}");
    EXPECT_EQ(HttpPost(url, kBody), "{\"ver\":\"2\"}");
    Mode("empty");
    EXPECT_EQ(HttpPost(url, kBody), "");
    Mode("status 500 broken");
    EXPECT_EQ(HttpPost(url, kBody), "");
    Mode("size 1048577");
    EXPECT_LE(HttpPost(url, kBody).size(), kMaxReplyBytes);
    Mode("silent");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpPost(url, kBody), "");
    EXPECT_GE(SecondsSince(start), 5.5);
    Mode("refuse");
    Sleep(600);
    debug.clear();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpPost(url, kBody), "");
    EXPECT_LT(SecondsSince(start), 4.0);
    EXPECT_TRUE(MarkerSent());
    Mode("normal back");
    EXPECT_TRUE(WaitUntil([&] { return HttpPost(url, kBody) == "back"; }, std::chrono::seconds(5)));

    // It keeps every request it got, as it got it.
    const std::string requests = ReadFileBytes(dir + L"\\requests.log");
    EXPECT_NE(requests.find("POST / HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(requests.find("Content-Type:application/json\r\n"), std::string::npos);
    EXPECT_NE(requests.find(kBody), std::string::npos);

    Mode("exit 7");
    EXPECT_EQ(::WaitForSingleObject(child.process.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(child.process.get()), 7u);
}
