// HTTPS through the transfer component against openssl's own test server on loopback: a certificate
// nobody vouches for is an error; once its issuer is trusted the same download succeeds, and so does a
// redirect within HTTPS, but not one down to plain HTTP.
#include <QCoreApplication>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "loopback_http_server.h"
#include "platform/inet.h"
#include "platform/message_loop.h"
#include "update_test_support.h"

namespace corvane::platform {
namespace {

using corvane::testing::LoopbackHttpServer;
using corvane::testing::ScratchFolder;
using corvane::testing::ScriptedReply;
using corvane::testing::WriteFile;

class HttpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString dir = QString::fromStdString(folder.path().string());
        QProcess request;
        request.setWorkingDirectory(dir);
        request.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
                       "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
        ASSERT_TRUE(request.waitForFinished(30000));
        ASSERT_EQ(request.exitCode(), 0) << request.readAllStandardError().toStdString();
        std::filesystem::create_directories(folder.path() / "cv");
        // The server sends the file as the whole response, status line and headers included.
        WriteFile((folder.path() / "cv" / "defver").string(),
                  "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\n105\r\n");

        // A redirect within HTTPS is followed; one down to plain HTTP (the loopback server) is not.
        WriteFile((folder.path() / "cv" / "moved").string(),
                  "HTTP/1.1 302 Found\r\nLocation: /cv/defver\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        WriteFile((folder.path() / "cv" / "down").string(),
                  "HTTP/1.1 302 Found\r\nLocation: " + plain.Url("/cv/defver") +
                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        plain.Route("/cv/defver", ScriptedReply::Ok("105\r\n"));

        // A free port: the operating system picks one, and it is handed to the server.
        {
            QTcpServer probe;
            ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        server.setWorkingDirectory(dir);
        server.start(QStringLiteral("openssl"), {"s_server", "-accept", QStringLiteral("127.0.0.1:%1").arg(port),
                                                 "-cert", "cert.pem", "-key", "key.pem", "-HTTP", "-quiet"});
        ASSERT_TRUE(server.waitForStarted(10000));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, port);
                return socket.waitForConnected(100);
            },
            10000));
    }
    void TearDown() override {
        server.kill();
        server.waitForFinished(5000);
    }

    std::string Url(const char* path) const { return "https://127.0.0.1:" + std::to_string(port) + path; }

    ScratchFolder folder;
    LoopbackHttpServer plain;
    QProcess server;
    quint16 port = 0;
    std::unique_ptr<Inet> inet = CreateInet();
};

TEST_F(HttpsTest, UntrustedCertificateFailsAndATrustedOneDownloads) {
    EXPECT_EQ(inet->OpenURL(Url("/cv/defver")), std::nullopt);
    EXPECT_FALSE(inet->LastError().empty());
    std::vector<int> states;
    inet->SetStateChanged([&](int state) { states.push_back(state); });
    ASSERT_TRUE(inet->Execute(Url("/cv/defver"), "GET \"x\""));
    while (inet->StillExecuting()) WaitForMessages();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), Inet::icError);

    // openssl's server serves one connection at a time: the refused ones must be gone first.
    inet.reset();

    // Trusting the server's certificate makes the very same requests succeed.
    const auto certificates = QSslCertificate::fromPath(QString::fromStdString((folder.path() / "cert.pem").string()));
    ASSERT_EQ(certificates.size(), 1);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    const QSslConfiguration original = configuration;
    configuration.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    auto trusting = CreateInet();
    const std::optional<std::string> text = trusting->OpenURL(Url("/cv/defver"));
    const std::optional<std::string> moved = trusting->OpenURL(Url("/cv/moved"));
    const std::optional<std::string> down = trusting->OpenURL(Url("/cv/down"));
    QSslConfiguration::setDefaultConfiguration(original);
    EXPECT_EQ(text, std::optional<std::string>("105\r\n")) << trusting->LastError();
    EXPECT_EQ(moved, std::optional<std::string>("105\r\n"));
    EXPECT_EQ(down, std::nullopt);
    EXPECT_EQ(plain.Count("GET", "/cv/defver"), 0u);
}

}  // namespace
}  // namespace corvane::platform
