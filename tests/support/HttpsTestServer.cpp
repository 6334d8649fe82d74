#include "support/HttpsTestServer.h"

#include "support/TestData.h"

#include <QFile>
#include <QSslConfiguration>

#include <algorithm>
#include <limits>
#include <mutex>

namespace tarvik::test {

namespace {

QByteArray readDataFile(const QString& relative)
{
    QFile file(dataPath(relative));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("HttpsTestServer: cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

dev::ServerIdentity identityFor(HttpsTestServer::Identity identity)
{
    HttpsTestServer::trustTestCa();
    const QString name = identity == HttpsTestServer::Identity::Trusted
                             ? QStringLiteral("localhost")
                             : QStringLiteral("untrusted");
    dev::ServerIdentity result;
    result.certificate =
        QSslCertificate(readDataFile(QStringLiteral("tls/") + name + QStringLiteral(".pem")));
    result.key =
        QSslKey(readDataFile(QStringLiteral("tls/") + name + QStringLiteral(".key")), QSsl::Ec);
    return result;
}

} // namespace

HttpsTestServer::HttpsTestServer(Identity identity) : dev::HttpsServer(identityFor(identity))
{
    if (!isListening())
        qFatal("HttpsTestServer: cannot listen: %s", qPrintable(errorString()));
}

void HttpsTestServer::trustTestCa()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(
            QSslCertificate::fromData(readDataFile(QStringLiteral("tls/ca.pem"))));
        QSslConfiguration::setDefaultConfiguration(configuration);
    });
}

QByteArray generatedDigest(qint64 size, QCryptographicHash::Algorithm algorithm)
{
    QCryptographicHash hash(algorithm);
    for (qint64 offset = 0; offset < size; offset += 1 << 20)
        hash.addData(generatedBytes(offset, std::min<qint64>(1 << 20, size - offset)));
    return hash.result().toHex();
}

int maxOverlap(const QList<RecordedRequest>& requests)
{
    // +1 at each arrival, -1 at each end; ends sort before arrivals at the same time.
    QList<QPair<qint64, int>> events;
    for (const RecordedRequest& r : requests) {
        events.append({r.arrivedNs, +1});
        events.append({r.doneNs ? r.doneNs : std::numeric_limits<qint64>::max(), -1});
    }
    std::sort(events.begin(), events.end());
    int current = 0;
    int best = 0;
    for (const auto& event : events) {
        current += event.second;
        best = std::max(best, current);
    }
    return best;
}

} // namespace tarvik::test
