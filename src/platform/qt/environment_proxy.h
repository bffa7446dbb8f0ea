#pragma once
// The proxy for an outgoing request, as the usual environment variables name it.
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QUrl>

namespace corvane::platform {

// http URLs use http_proxy (lower case only: the upper-case name can be set by a web server's request
// headers in CGI programs), https URLs https_proxy or HTTPS_PROXY, both fall back to all_proxy or
// ALL_PROXY. no_proxy / NO_PROXY lists host names (a name also covers its sub-domains) or "*".
// Loopback hosts always go direct. A proxy written without a scheme is an HTTP proxy; socks5 and
// socks5h name a SOCKS 5 proxy; a missing port is 1080.
QNetworkProxy ProxyFromEnvironment(const QUrl& url);

// A factory answering every query with ProxyFromEnvironment, read at the time of each request.
class EnvironmentProxyFactory final : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;
};

}  // namespace corvane::platform
