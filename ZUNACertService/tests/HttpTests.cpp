// The probe's HTTP client against real servers on loopback.
#include <gtest/gtest.h>

#include "LoopbackServer.h"
#include "TestSupport.h"
#include "core/Http.h"
#include "utils.h"

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
    // Posts within `seconds` (a watchdog); *took is how long it took by the
    // log's own time stamps, from a record just before to the exchange's record.
    std::string TimedPost(const std::string& url, double seconds, double* took,
                          const std::atomic<LONG>* abort = nullptr) {
        WriteLog("HttpTests.cpp", 1, "post begins", 0);
        CWatchdog dog(seconds, "the post to " + url);
        const std::string got = HttpPost(url, kBody, abort);
        *took = SecondsBetween(RecordsAt("HttpTests.cpp", 1).back(), RecordsAt("core/Http.cpp", 150).back());
        return got;
    }

    PlatformScope platform;
    std::vector<std::wstring> debug;
};

void Reply(SOCKET s, int status, const std::string& body, const std::string& headers = "") {
    CLoopbackServer::SendAll(s, CLoopbackServer::Response(status, body, headers));
}

// A reply that comes whole, what the probe makes of it and what it logs.
struct Exchange {
    const char* name;
    int status;
    std::string body;
    std::string got;
    std::string logged;
};
const std::string kForged = "[2026-03-01 09:00:00.000000][0x00000001]: CZUNACertService.cpp [ 368 ]  :  [ 0 ] ";
const Exchange kExchanges[] = {
    {"Answer", 200, "{\"ok\":1}", "{\"ok\":1}", "{\"ok\":1}"},
    {"EmptyBody", 200, "", "", ""},
    {"NotFound", 404, "error page", "", ""},
    {"ServerError", 500, "error page", "", ""},
    {"Below400IsAnAnswer", 399, "odd but alive", "odd but alive", "odd but alive"},
    // A redirect is followed; the target answers "moved here".
    {"Redirect", 307, "", "moved here", "moved here"},
    // A reply may hold whole lines shaped like the guard's records.
    {"Binary", 200, std::string("a\0b\r\n", 5) + kForged + "\r\nc\nd\x7f\x1b",
     std::string("a\0b\r\n", 5) + kForged + "\r\nc\nd\x7f\x1b", "a\\x00b\\r\\n" + kForged + "\\r\\nc\\nd\\x7f\\x1b"},
    {"OneMebibyte", 200, std::string(kMaxReplyBytes, 'w'), std::string(kMaxReplyBytes, 'w'),
     std::string(1024, 'w') + "...(1048576 bytes)"},
};

class HttpExchangeTest : public HttpTest, public ::testing::WithParamInterface<Exchange> {};

}  // namespace

TEST_P(HttpExchangeTest, GivesTheBodyOfAnAnswerOnly) {
    const Exchange& e = GetParam();
    CLoopbackServer target([](SOCKET s, const std::string&) { Reply(s, 200, "moved here"); });
    CLoopbackServer server([&](SOCKET s, const std::string&) {
        Reply(s, e.status, e.body, e.status == 307 ? "Location: " + target.Url("/next") + "\r\n" : "");
    });
    EXPECT_EQ(HttpPost(server.Url(), kBody), e.got);
    EXPECT_EQ(LoggedFor(server.Url()), e.logged);
}

INSTANTIATE_TEST_SUITE_P(Replies, HttpExchangeTest, ::testing::ValuesIn(kExchanges),
                         [](const ::testing::TestParamInfo<Exchange>& info) { return info.param.name; });

TEST_F(HttpTest, SendsTheProbeAsJsonPostToTheRoot) {
    CLoopbackServer server([](SOCKET s, const std::string&) { Reply(s, 200, "{\"ok\":1}"); });
    EXPECT_EQ(HttpPost(server.Url(), kBody), "{\"ok\":1}");
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string request = server.Requests()[0];
    EXPECT_EQ(request.compare(0, 16, "POST / HTTP/1.1\r"), 0) << request;
    EXPECT_NE(request.find("\r\nContent-Type:application/json\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.find("x-www-form-urlencoded"), std::string::npos) << "the default type is replaced";
    EXPECT_NE(request.find("\r\nContent-Length: 47\r\n"), std::string::npos) << request;
    ASSERT_EQ(kBody.size(), 47u);
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), kBody);
}

// A failed request tells an attached debugger; this is the one check of it.
TEST_F(HttpTest, RefusedConnectionGivesEmptyAtOnce) {
    const std::string url = "http://127.0.0.1:" + std::to_string(RefusedPort());
    double took = 0;
    EXPECT_EQ(TimedPost(url, 8, &took), "");
    EXPECT_EQ(debug, std::vector<std::wstring>{L"--------------------<>"});
    EXPECT_EQ(LoggedFor(url), "");
    EXPECT_EQ(RecordsAt("core/Http.cpp", 150).back().value, "0");
}

TEST_F(HttpTest, SilentServerGivesEmptyAfterSixSeconds) {
    CLoopbackServer server([](SOCKET s, const std::string&) {
        char b;
        recv(s, &b, 1, 0);  // holds the connection until the client gives up
    });
    double took = 0;
    // libcurl counts the request's own upload in its speed window, so the
    // 6-second floor starts once those bytes have aged out of it: 12.0 s
    // measured here (a 10-second window takes 16 s).
    EXPECT_EQ(TimedPost(server.Url(), 26, &took), "");
    EXPECT_GE(took, 11.0);
}

TEST_F(HttpTest, TricklingReplyEndsAfterThirtySecondsWithWhatArrived) {
    std::atomic<bool> done{false};
    CLoopbackServer server([&](SOCKET s, const std::string&) {
        std::string head = CLoopbackServer::Response(200, std::string(400, 't'));
        head.resize(head.size() - 400);
        CLoopbackServer::SendAll(s, head);
        for (int i = 0; i < 200 && !done; ++i, Sleep(1000)) CLoopbackServer::SendAll(s, "tt");
    });
    double took = 0;
    const std::string got = TimedPost(server.Url(), 60, &took);
    done = true;
    EXPECT_GE(took, 29.0);
    EXPECT_GE(got.size(), 50u);
    EXPECT_EQ(got, std::string(got.size(), 't'));
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

TEST_F(HttpTest, AReplyOverOneMebibyteIsCut) {
    std::string over(kMaxReplyBytes + 1, 'o');
    over[0] = 'F';
    CLoopbackServer larger([&](SOCKET s, const std::string&) { Reply(s, 200, over); });
    const std::string got = HttpPost(larger.Url(), kBody);
    EXPECT_LT(got.size(), over.size());
    EXPECT_EQ(got, over.substr(0, got.size())) << "a prefix, cut at a chunk boundary";
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
    double took = 0;
    // libcurl looks at the flag about once a second.
    const std::string got = TimedPost(server.Url(), 8, &took, &abort);
    release = true;
    stopper.join();
    EXPECT_EQ(got, "0") << "what arrived before the stop";
}
