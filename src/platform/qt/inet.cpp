// The transfer component on Qt's network module. Every signal of a reply arrives on the window thread
// (the manager lives there), so the StateChanged handler runs there too.
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/inet.h"
#include "platform/qt/environment_proxy.h"

namespace corvane::platform {
namespace {

constexpr int kMaxRedirects = 5;

enum class Verb { None, Get, Head };

Verb VerbOf(const std::string& operation) {
    const QString text = QString::fromStdString(operation).trimmed();
    const QString verb = text.section(QLatin1Char(' '), 0, 0).toUpper();
    if (verb == QLatin1String("GET")) return Verb::Get;
    if (verb == QLatin1String("HEAD")) return Verb::Head;
    return Verb::None;
}

bool IsWebUrl(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool IsRedirectStatus(int code) { return code == 301 || code == 302 || code == 303 || code == 307 || code == 308; }

// True when the reply's answer so far is a redirect to follow (a 3xx status with a Location).
bool IsRedirect(const QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return reply.error() == QNetworkReply::NoError && status.isValid() && IsRedirectStatus(status.toInt()) &&
           reply.hasRawHeader("Location");
}

// Redirects are followed here, one reply per answer, not by the network module: a reply that follows
// them itself joins the headers of every answer on the way, so the Content-Length of a redirected
// answer could read "0, 3". Returns where a finished reply sends the request next, empty when it is no
// redirect; `failure` is set when the redirect must not be followed.
QUrl RedirectTarget(const QNetworkReply& reply, int hopsTaken, std::string& failure) {
    if (!IsRedirect(reply)) return {};
    const QUrl location = QUrl::fromEncoded(reply.rawHeader("Location").trimmed(), QUrl::StrictMode);
    const QUrl next = reply.url().resolved(location);
    if (hopsTaken >= kMaxRedirects)
        failure = "more than " + std::to_string(kMaxRedirects) + " redirects";
    else if (!location.isValid() || !IsWebUrl(next))
        failure = "a redirect to something other than an http or https address";
    else if (reply.url().scheme().toLower() == QLatin1String("https") &&
             next.scheme().toLower() != QLatin1String("https"))
        failure = "a redirect from HTTPS to plain HTTP";
    return next.isEmpty() ? reply.url() : next;
}

// Why a finished reply does not count as a complete success; empty when it does.
std::string FailureOf(QNetworkReply& reply, qsizetype bodySize, bool bodyExpected, bool tooLarge) {
    if (tooLarge) return "the response is larger than the component accepts";
    if (reply.error() != QNetworkReply::NoError) return reply.errorString().toStdString();
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) return "no HTTP status";
    const int code = status.toInt();
    if (code < 200 || code > 299) return "HTTP status " + std::to_string(code);
    if (bodyExpected && reply.hasRawHeader("Content-Length")) {
        bool numeric = false;
        const qlonglong announced = reply.rawHeader("Content-Length").trimmed().toLongLong(&numeric);
        if (!numeric || announced != bodySize)
            return "the body has " + std::to_string(bodySize) + " bytes, the header announced " +
                   reply.rawHeader("Content-Length").toStdString();
    }
    return {};
}

class QtInet final : public QObject, public Inet {
public:
    QtInet() {
        manager_.setProxyFactory(new EnvironmentProxyFactory);  // the manager takes it over
        manager_.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }

    ~QtInet() override {
        for (QNetworkReply* reply : {current_.data(), opening_.data()}) {
            if (reply == nullptr) continue;
            reply->disconnect(this);
            reply->abort();
        }
    }

    void SetStateChanged(StateChangedHandler handler) override { handler_ = std::move(handler); }
    void SetRequestTimeout(std::chrono::milliseconds timeout) override { timeout_ = timeout; }

    std::optional<std::string> OpenURL(const std::string& url) override {
        lastError_.clear();
        const QUrl target(QString::fromStdString(url), QUrl::StrictMode);
        if (!IsWebUrl(target)) {
            lastError_ = "not an http or https address";
            return std::nullopt;
        }
        QUrl next = target;
        for (int hops = 0;; ++hops) {
            QByteArray body;
            std::string failure;
            next = Fetch(next, hops, body, failure);
            if (!failure.empty()) {
                lastError_ = failure;
                return std::nullopt;
            }
            if (next.isEmpty()) return body.toStdString();
        }
    }

    bool Execute(const std::string& url, const std::string& operation) override {
        if (executing_) return false;
        const Verb verb = VerbOf(operation);
        const QUrl target(QString::fromStdString(url), QUrl::StrictMode);
        if (verb == Verb::None || !IsWebUrl(target)) return false;

        lastError_.clear();
        body_.clear();
        readPos_ = 0;
        headers_.clear();
        responseUrl_.clear();
        tooLarge_ = false;
        receiving_ = false;
        bodyExpected_ = verb == Verb::Get;
        executing_ = true;
        verb_ = verb;
        hops_ = 0;
        Start(target);
        return true;
    }

    bool StillExecuting() const override { return executing_; }

    std::string GetHeader(const std::string& name) const override {
        const QByteArray wanted = QByteArray::fromStdString(name).toLower();
        for (const auto& [header, value] : headers_) {
            if (header.toLower() == wanted) return value.toStdString();
        }
        return {};
    }

    std::vector<std::uint8_t> GetChunk(std::size_t size) override {
        const qsizetype left = body_.size() - readPos_;
        const qsizetype count =
            std::min<qsizetype>(left, static_cast<qsizetype>(std::min<std::size_t>(size, 1u << 30)));
        if (count <= 0) return {};
        const auto* first = reinterpret_cast<const std::uint8_t*>(body_.constData() + readPos_);
        std::vector<std::uint8_t> chunk(first, first + count);
        readPos_ += count;
        return chunk;
    }

    std::string ResponseUrl() const override { return responseUrl_; }

    void Cancel() override {
        for (QNetworkReply* reply : {current_.data(), opening_.data()}) {
            if (reply != nullptr && !reply->isFinished()) reply->abort();
        }
    }

    std::string LastError() const override { return lastError_; }

private:
    // One GET for OpenURL, waited for: the redirect to follow (empty when there is none), or the body
    // of the answer; `failure` says why the answer is no success.
    QUrl Fetch(const QUrl& target, int hopsTaken, QByteArray& body, std::string& failure) {
        QNetworkReply* reply = manager_.get(Request(target));
        opening_ = reply;
        bool tooLarge = false;
        connect(reply, &QNetworkReply::readyRead, this, [&body, &tooLarge, reply] {
            if (IsRedirect(*reply)) {
                reply->readAll();  // a redirect's own body is nobody's
            } else if (!Append(*reply, body)) {
                tooLarge = true;
                reply->abort();
            }
        });
        QEventLoop wait;
        connect(reply, &QNetworkReply::finished, &wait, &QEventLoop::quit);
        if (!reply->isFinished()) wait.exec();
        QUrl next = RedirectTarget(*reply, hopsTaken, failure);
        if (next.isEmpty()) {
            if (!tooLarge) Append(*reply, body);
            failure = FailureOf(*reply, body.size(), true, tooLarge);
        }
        reply->disconnect(this);
        reply->deleteLater();
        opening_ = nullptr;
        return next;
    }

    // Sends the running request's next hop and follows it with the request's events.
    void Start(const QUrl& target) {
        const QNetworkRequest request = Request(target);
        QNetworkReply* reply = verb_ == Verb::Get ? manager_.get(request) : manager_.head(request);
        current_ = reply;
        connect(reply, &QNetworkReply::socketStartedConnecting, this, [this, reply] {
            if (reply == current_) Raise(icConnecting);
        });
        connect(reply, &QNetworkReply::requestSent, this, [this, reply] {
            if (reply == current_) Raise(icRequestSent);
        });
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
            if (!IsRedirect(*reply)) Receiving(reply);
        });
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
            if (reply != current_) return;
            if (IsRedirect(*reply)) {
                reply->readAll();
                return;
            }
            Receiving(reply);
            if (!tooLarge_ && !Append(*reply, body_)) {
                tooLarge_ = true;
                reply->abort();
            }
        });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { Finished(reply); });
    }

    QNetworkRequest Request(const QUrl& url) const {
        QNetworkRequest request(url);
        // The body as stored, so a HEAD's Content-Length is the size a GET delivers.
        request.setRawHeader("Accept-Encoding", "identity");
        request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Corvane"));
        request.setTransferTimeout(
            static_cast<int>(std::min<std::chrono::milliseconds::rep>(timeout_.count(), 1 << 30)));
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        return request;
    }

    // Moves what the reply holds into `body`; false when that would pass the size limit.
    static bool Append(QNetworkReply& reply, QByteArray& body) {
        const qint64 available = reply.bytesAvailable();
        if (available <= 0) return true;
        if (static_cast<quint64>(body.size()) + static_cast<quint64>(available) > kMaxBodySize) return false;
        if (body.isEmpty() && reply.hasRawHeader("Content-Length")) {
            const qlonglong announced = reply.rawHeader("Content-Length").toLongLong();
            if (announced > 0 && static_cast<quint64>(announced) <= kMaxBodySize) body.reserve(announced);
        }
        body.append(reply.readAll());
        return true;
    }

    void Receiving(QNetworkReply* reply) {
        if (reply != current_ || receiving_) return;
        receiving_ = true;
        Raise(icReceivingResponse);
    }

    void Finished(QNetworkReply* reply) {
        if (reply != current_) return;
        std::string failure;
        const QUrl next = RedirectTarget(*reply, hops_, failure);
        reply->disconnect(this);
        reply->deleteLater();
        current_ = nullptr;
        if (!next.isEmpty() && failure.empty()) {
            ++hops_;
            Start(next);
            return;
        }
        if (next.isEmpty()) {
            if (!tooLarge_ && !Append(*reply, body_)) tooLarge_ = true;
            headers_ = reply->rawHeaderPairs();
            responseUrl_ = reply->url().toString().toStdString();
            failure = FailureOf(*reply, body_.size(), bodyExpected_, tooLarge_);
        }
        if (!failure.empty()) {
            // Nothing of a failed answer (an error page's headers or body) passes for the resource's.
            lastError_ = failure;
            headers_.clear();
            body_.clear();
            executing_ = false;
            Raise(icError);
            return;
        }
        Raise(icResponseReceived);
        executing_ = false;
        Raise(icResponseCompleted);
    }

    void Raise(int state) {
        // A copy: the handler may replace itself.
        if (const StateChangedHandler handler = handler_) handler(state);
    }

    QNetworkAccessManager manager_;
    QPointer<QNetworkReply> current_;
    QPointer<QNetworkReply> opening_;
    StateChangedHandler handler_;
    std::chrono::milliseconds timeout_ = kDefaultRequestTimeout;
    QByteArray body_;
    qsizetype readPos_ = 0;
    QList<QNetworkReply::RawHeaderPair> headers_;
    std::string lastError_;
    std::string responseUrl_;
    Verb verb_ = Verb::None;
    int hops_ = 0;
    bool executing_ = false;
    bool bodyExpected_ = false;
    bool receiving_ = false;
    bool tooLarge_ = false;
};

}  // namespace

std::unique_ptr<Inet> CreateInet() { return std::make_unique<QtInet>(); }

}  // namespace corvane::platform
