#include "platform/qt/environment_proxy.h"

#include <QHostAddress>
#include <QNetworkProxyQuery>
#include <QRegularExpression>

namespace corvane::platform {
namespace {

QString Variable(const char* name) { return qEnvironmentVariable(name).trimmed(); }

bool IsLoopback(const QString& host) {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
        host.endsWith(QLatin1String(".localhost"), Qt::CaseInsensitive))
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

bool ExcludedByNoProxy(const QString& host) {
    QString list = Variable("no_proxy");
    if (list.isEmpty()) list = Variable("NO_PROXY");
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    for (QString entry : list.split(separators, Qt::SkipEmptyParts)) {
        if (entry == QLatin1String("*")) return true;
        if (entry.startsWith(QLatin1Char('.'))) entry.remove(0, 1);
        // An entry may carry a port; the host decides here.
        if (!entry.startsWith(QLatin1Char('[')) && entry.count(QLatin1Char(':')) == 1)
            entry.truncate(entry.indexOf(QLatin1Char(':')));
        if (entry.isEmpty()) continue;
        if (host.compare(entry, Qt::CaseInsensitive) == 0 ||
            host.endsWith(QLatin1Char('.') + entry, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

}  // namespace

QNetworkProxy ProxyFromEnvironment(const QUrl& url) {
    const QString host = url.host();
    if (host.isEmpty() || IsLoopback(host) || ExcludedByNoProxy(host)) return QNetworkProxy(QNetworkProxy::NoProxy);

    QString setting;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http")) {
        setting = Variable("http_proxy");
    } else if (scheme == QLatin1String("https")) {
        setting = Variable("https_proxy");
        if (setting.isEmpty()) setting = Variable("HTTPS_PROXY");
    }
    if (setting.isEmpty()) setting = Variable("all_proxy");
    if (setting.isEmpty()) setting = Variable("ALL_PROXY");
    if (setting.isEmpty()) return QNetworkProxy(QNetworkProxy::NoProxy);

    if (!setting.contains(QLatin1String("://"))) setting.prepend(QLatin1String("http://"));
    const QUrl proxyUrl(setting, QUrl::StrictMode);
    if (!proxyUrl.isValid() || proxyUrl.host().isEmpty()) return QNetworkProxy(QNetworkProxy::NoProxy);

    const QString proxyScheme = proxyUrl.scheme().toLower();
    QNetworkProxy::ProxyType type = QNetworkProxy::HttpProxy;
    if (proxyScheme == QLatin1String("socks5") || proxyScheme == QLatin1String("socks5h"))
        type = QNetworkProxy::Socks5Proxy;
    else if (proxyScheme != QLatin1String("http"))
        return QNetworkProxy(QNetworkProxy::NoProxy);  // a kind this component cannot speak
    return QNetworkProxy(type, proxyUrl.host(), static_cast<quint16>(proxyUrl.port(1080)), proxyUrl.userName(),
                         proxyUrl.password());
}

QList<QNetworkProxy> EnvironmentProxyFactory::queryProxy(const QNetworkProxyQuery& query) {
    return {ProxyFromEnvironment(query.url())};
}

}  // namespace corvane::platform
