// The transfer component against a scripted server: what counts as a completed response, what as an
// error, the events on the way, chunked reading, time-outs, redirects and proxies.
#include <QTimer>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "loopback_http_server.h"
#include "platform/inet.h"
#include "platform/message_loop.h"
#include "platform/qt/environment_proxy.h"

namespace corvane::platform {
namespace {

using corvane::testing::LoopbackHttpServer;
using corvane::testing::PatternBody;
using corvane::testing::ScriptedReply;

struct Outcome {
    std::vector<int> states;
    bool stillExecutingAtEnd = true;  // StillExecuting as seen by the request's last event
    std::string body;
    std::size_t largestChunk = 0;
};

// Runs one request the way the update machinery does: Execute, wait while executing, then read chunks.
Outcome Transfer(Inet& inet, const std::string& url, const std::string& verb = "GET") {
    Outcome outcome;
    inet.SetStateChanged([&](int state) {
        outcome.states.push_back(state);
        outcome.stillExecutingAtEnd = inet.StillExecuting();
    });
    EXPECT_TRUE(inet.Execute(url, verb + " \"/nowhere/target\""));
    while (inet.StillExecuting()) WaitForMessages();
    for (auto chunk = inet.GetChunk(1024); !chunk.empty(); chunk = inet.GetChunk(1024)) {
        outcome.largestChunk = std::max(outcome.largestChunk, chunk.size());
        outcome.body.append(chunk.begin(), chunk.end());
    }
    inet.SetStateChanged(nullptr);
    return outcome;
}

class InetTest : public ::testing::Test {
protected:
    LoopbackHttpServer server;
    std::unique_ptr<Inet> inet = CreateInet();
};

TEST_F(InetTest, CompletedGetDeliversTheWholeBodyInChunksOfAtMost1024Bytes) {
    const std::string small = PatternBody(2500);
    const std::string large = PatternBody(10 << 20, 7);
    server.Route("/small", ScriptedReply::Ok(small));
    server.Route("/large", ScriptedReply::Ok(large));
    ScriptedReply unannounced = ScriptedReply::Ok(PatternBody(3000, 3));
    unannounced.omitLength = true;  // the body ends with the connection
    server.Route("/unannounced", unannounced);
    ScriptedReply slow = ScriptedReply::Ok(PatternBody(4000, 4));
    slow.pieceSize = 500;
    slow.pause = std::chrono::milliseconds(30);
    server.Route("/slow", slow);

    for (const auto& [path, expected] : std::vector<std::pair<std::string, std::string>>{
             {"/small", small}, {"/large", large}, {"/unannounced", unannounced.body}, {"/slow", slow.body}}) {
        SCOPED_TRACE(path);
        const Outcome outcome = Transfer(*inet, server.Url(path));
        ASSERT_FALSE(outcome.states.empty());
        EXPECT_EQ(outcome.states.back(), Inet::icResponseCompleted);
        EXPECT_FALSE(outcome.stillExecutingAtEnd);
        EXPECT_EQ(std::count(outcome.states.begin(), outcome.states.end(), Inet::icError), 0);
        EXPECT_TRUE(outcome.body == expected) << "body of " << outcome.body.size() << " bytes";
        EXPECT_LE(outcome.largestChunk, 1024u);
    }
    // The body was asked for as stored, never compressed.
    for (const auto& request : server.Requests()) EXPECT_EQ(request.headers.at("accept-encoding"), "identity");
}

TEST_F(InetTest, EveryIncompleteOrUnsuccessfulAnswerEndsInTheErrorStateWithNoBody) {
    server.Route("/missing", ScriptedReply::Status(404));
    server.Route("/broken", ScriptedReply::Status(500));
    ScriptedReply longer = ScriptedReply::Ok(PatternBody(2000));
    longer.announced = 5000;  // more announced than sent, then the connection ends
    longer.cutAfter = 2000;
    server.Route("/wrong-length", longer);
    ScriptedReply cut = ScriptedReply::Ok(PatternBody(8000));
    cut.cutAfter = 3000;
    server.Route("/cut", cut);
    ScriptedReply reset = ScriptedReply::Ok(PatternBody(8000));
    reset.cutAfter = 1500;
    reset.resetAtCut = true;
    server.Route("/reset", reset);
    server.Route("/loop", ScriptedReply::Redirect("/loop"));

    for (const char* path : {"/missing", "/broken", "/wrong-length", "/cut", "/reset", "/loop"}) {
        SCOPED_TRACE(path);
        const Outcome outcome = Transfer(*inet, server.Url(path));
        ASSERT_FALSE(outcome.states.empty());
        EXPECT_EQ(outcome.states.back(), Inet::icError);
        EXPECT_FALSE(outcome.stillExecutingAtEnd);
        EXPECT_EQ(std::count(outcome.states.begin(), outcome.states.end(), Inet::icResponseCompleted), 0);
        EXPECT_TRUE(outcome.body.empty());
        EXPECT_FALSE(inet->LastError().empty());
    }
    // The loop was followed a few times, not forever.
    EXPECT_GT(server.Count("GET", "/loop"), 1u);
    EXPECT_LT(server.Count("GET", "/loop"), 20u);
}

TEST_F(InetTest, HeadRequestGivesTheAnnouncedSizeAndAnUnreachableHostAnError) {
    server.Route("/file", ScriptedReply::Ok(PatternBody(2500)));
    const Outcome head = Transfer(*inet, server.Url("/file"), "HEAD");
    ASSERT_FALSE(head.states.empty());
    EXPECT_EQ(head.states.back(), Inet::icResponseCompleted);
    EXPECT_EQ(inet->GetHeader("Content-length"), "2500");
    EXPECT_EQ(inet->GetHeader("CONTENT-LENGTH"), "2500");
    EXPECT_EQ(inet->GetHeader("X-Not-There"), "");
    EXPECT_TRUE(head.body.empty());
    EXPECT_EQ(server.Count("HEAD", "/file"), 1u);

    // A port nobody listens on: the server's own, once it is gone.
    std::string closed;
    {
        LoopbackHttpServer gone;
        closed = gone.Url("/file");
    }
    const Outcome refused = Transfer(*inet, closed);
    ASSERT_FALSE(refused.states.empty());
    EXPECT_EQ(refused.states.back(), Inet::icError);
    EXPECT_FALSE(inet->OpenURL(closed).has_value());
}

TEST_F(InetTest, ExecuteRefusesASecondRequestAndWhatItCannotSend) {
    ScriptedReply slow = ScriptedReply::Ok(PatternBody(2000));
    slow.pieceSize = 1000;
    slow.pause = std::chrono::milliseconds(50);
    server.Route("/slow", slow);
    std::vector<int> states;
    inet->SetStateChanged([&](int state) { states.push_back(state); });
    ASSERT_TRUE(inet->Execute(server.Url("/slow"), "GET \"x\""));
    EXPECT_TRUE(inet->StillExecuting());
    EXPECT_FALSE(inet->Execute(server.Url("/slow"), "GET \"x\""));
    while (inet->StillExecuting()) WaitForMessages();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), Inet::icResponseCompleted);
    EXPECT_EQ(server.Count("GET", "/slow"), 1u);

    EXPECT_FALSE(inet->Execute(server.Url("/slow"), "POST \"x\""));
    EXPECT_FALSE(inet->Execute("ftp://127.0.0.1/file", "GET \"x\""));
    EXPECT_FALSE(inet->Execute("not a url", "GET \"x\""));
    EXPECT_FALSE(inet->StillExecuting());
}

TEST_F(InetTest, OpenUrlReturnsOnlySuccessfulBodiesAndFollowsARedirect) {
    server.Route("/cv/defver", ScriptedReply::Ok("105\r\n"));
    server.Route("/moved", ScriptedReply::Redirect("/cv/defver"));
    server.Route("/broken", ScriptedReply::Status(500, "105"));
    EXPECT_EQ(inet->OpenURL(server.Url("/cv/defver")), std::optional<std::string>("105\r\n"));
    EXPECT_EQ(inet->OpenURL(server.Url("/moved")), std::optional<std::string>("105\r\n"));
    EXPECT_EQ(inet->OpenURL(server.Url("/broken")), std::nullopt);
    // A failed answer's headers are not the resource's.
    const Outcome failedHead = Transfer(*inet, server.Url("/broken"), "HEAD");
    EXPECT_EQ(failedHead.states.back(), Inet::icError);
    EXPECT_EQ(inet->GetHeader("Content-Length"), "");
    EXPECT_EQ(inet->OpenURL(server.Url("/nothing-here")), std::nullopt);

    // A redirected download reports where its body came from.
    server.Route("/file", ScriptedReply::Ok("abc"));
    ScriptedReply tagged = ScriptedReply::Redirect("/file");
    tagged.headers.emplace_back("X-Answer", "redirect");
    tagged.dropNextRequest = true;  // the next hop, sent on the same connection, must be sent again
    server.Route("/old-file", tagged);
    const Outcome moved = Transfer(*inet, server.Url("/old-file"));
    EXPECT_EQ(moved.body, "abc") << inet->LastError();
    EXPECT_EQ(inet->ResponseUrl(), server.Url("/file"));
    // The headers are the last answer's alone, never joined with the redirect's ("0, 3"). The network
    // module used to join them now and then, so this goes round a few times.
    for (const char* verb : {"GET", "HEAD", "GET", "HEAD", "GET", "HEAD"}) {
        SCOPED_TRACE(verb);
        const Outcome again = Transfer(*inet, server.Url("/old-file"), verb);
        ASSERT_FALSE(again.states.empty());
        EXPECT_EQ(again.states.back(), Inet::icResponseCompleted) << inet->LastError();
        EXPECT_EQ(std::count(again.states.begin(), again.states.end(), Inet::icReceivingResponse), 1);
        EXPECT_EQ(inet->GetHeader("Content-Length"), "3");
        EXPECT_EQ(inet->GetHeader("X-Answer"), "");
    }
}

TEST_F(InetTest, OpenUrlKeepsTheWindowThreadRunningWhileItWaits) {
    ScriptedReply slow = ScriptedReply::Ok("1.1.54");
    slow.pieceSize = 2;
    slow.pause = std::chrono::milliseconds(100);
    server.Route("/cv/mainver", slow);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    EXPECT_EQ(inet->OpenURL(server.Url("/cv/mainver")), std::optional<std::string>("1.1.54"));
    // About 300 ms went by; the timer ran meanwhile instead of waiting for the end.
    EXPECT_GE(ticks, 2);
}

TEST_F(InetTest, StalledTransferFailsAfterTheTimeOutAndCancelEndsARequest) {
    ScriptedReply stalled = ScriptedReply::Ok(PatternBody(3000));
    stalled.pieceSize = 1000;
    stalled.pause = std::chrono::milliseconds(1500);
    server.Route("/stalled", stalled);
    inet->SetRequestTimeout(std::chrono::milliseconds(300));
    const Outcome timedOut = Transfer(*inet, server.Url("/stalled"));
    ASSERT_FALSE(timedOut.states.empty());
    EXPECT_EQ(timedOut.states.back(), Inet::icError);

    inet->SetRequestTimeout(Inet::kDefaultRequestTimeout);
    std::vector<int> states;
    inet->SetStateChanged([&](int state) { states.push_back(state); });
    ASSERT_TRUE(inet->Execute(server.Url("/stalled"), "GET \"x\""));
    inet->Cancel();
    while (inet->StillExecuting()) WaitForMessages();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), Inet::icError);
}

// Sets an environment variable for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name_); }

private:
    const char* name_;
};

TEST_F(InetTest, RequestsGoThroughTheProxyTheEnvironmentNamesUnlessExcluded) {
    server.Route("/cv/defver", ScriptedReply::Ok("106"));
    const std::string proxy = "127.0.0.1:" + std::to_string(server.Port());
    {
        ScopedEnv http("http_proxy", proxy);
        EXPECT_EQ(inet->OpenURL("http://updates.corvane.example/cv/defver"), std::optional<std::string>("106"));
        const auto requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().target, "http://updates.corvane.example/cv/defver");
        // Loopback never goes through the proxy.
        EXPECT_TRUE(inet->OpenURL(server.Url("/cv/defver")).has_value());
        EXPECT_EQ(server.Requests().back().target, "/cv/defver");
    }
}

TEST(EnvironmentProxyTest, SchemesExclusionsAndLoopbackPickTheRightProxy) {
    const auto proxyFor = [](const char* url) { return ProxyFromEnvironment(QUrl(QString::fromLatin1(url))); };
    {
        ScopedEnv http("http_proxy", "proxy.local:3128");
        ScopedEnv https("HTTPS_PROXY", "socks5h://user:pw@socks.local");
        ScopedEnv excluded("no_proxy", "example.org, .corvane.example");
        const QNetworkProxy plain = proxyFor("http://mirror.example.net/cv/defver");
        EXPECT_EQ(plain.type(), QNetworkProxy::HttpProxy);
        EXPECT_EQ(plain.hostName(), QStringLiteral("proxy.local"));
        EXPECT_EQ(plain.port(), 3128);
        const QNetworkProxy secure = proxyFor("https://mirror.example.net/cv/defver");
        EXPECT_EQ(secure.type(), QNetworkProxy::Socks5Proxy);
        EXPECT_EQ(secure.hostName(), QStringLiteral("socks.local"));
        EXPECT_EQ(secure.port(), 1080);
        EXPECT_EQ(secure.user(), QStringLiteral("user"));
        // Excluded names, their sub-domains, and loopback go direct.
        for (const char* url :
             {"http://example.org/x", "http://www.example.org/x", "http://updates.corvane.example/",
              "http://corvane.example/", "http://127.0.0.1:8080/", "http://localhost/", "http://[::1]/"})
            EXPECT_EQ(proxyFor(url).type(), QNetworkProxy::NoProxy) << url;
        // A name that only ends in the same letters is not a sub-domain.
        EXPECT_EQ(proxyFor("http://notexample.org/").type(), QNetworkProxy::HttpProxy);
    }
    {
        // The upper-case HTTP_PROXY is not trusted for http; all_proxy is the fall-back.
        ScopedEnv upper("HTTP_PROXY", "evil.local:1");
        EXPECT_EQ(proxyFor("http://mirror.example.net/").type(), QNetworkProxy::NoProxy);
        ScopedEnv all("all_proxy", "http://fallback.local:8080");
        EXPECT_EQ(proxyFor("http://mirror.example.net/").hostName(), QStringLiteral("fallback.local"));
        ScopedEnv everything("no_proxy", "*");
        EXPECT_EQ(proxyFor("http://mirror.example.net/").type(), QNetworkProxy::NoProxy);
    }
}

}  // namespace
}  // namespace corvane::platform
