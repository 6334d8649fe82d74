// The HTTPS server of devserver/HttpsServer.h as the tests use it: on any
// free port of 127.0.0.1, presenting the localhost certificate of
// tests/data/tls (signed by the test CA, which the client trusts through the
// default QSslConfiguration) or a self-signed one that no one trusts.
//
// Usage:
//     HttpsTestServer server;
//     server.on("GET", "/a.json", TestReply::json(R"({"x":1})"));
//     server.onSequence("GET", "/f", {TestReply::withStatus(503), TestReply::ok("data")});
//     ... http.getJson(server.url("/a.json")) ...
//     QCOMPARE(server.requests().size(), 1);
#pragma once

#include "devserver/HttpsServer.h"

#include <QCryptographicHash>

namespace tarvik::test {

using HeaderList = dev::HeaderList;
using TestReply = dev::Reply;
using RecordedRequest = dev::RecordedRequest;
using Handler = dev::Handler;
using dev::generatedBytes;

class HttpsTestServer : public dev::HttpsServer
{
public:
    // Trusted: the localhost certificate signed by the test CA. Untrusted: a
    // self-signed certificate for the same names that no one trusts.
    enum class Identity { Trusted, Untrusted };

    // Starts listening at once (and trusts the test CA, see trustTestCa).
    explicit HttpsTestServer(Identity identity = Identity::Trusted);

    // Adds the test CA to the process-wide default QSslConfiguration, which
    // every access manager made afterwards uses. Idempotent.
    static void trustTestCa();
};

// The lower-case hexadecimal digest of a generated body of the given size.
QByteArray generatedDigest(qint64 size, QCryptographicHash::Algorithm algorithm);

// The most requests whose [arrivedNs, doneNs] intervals overlap, across any
// number of servers' records.
int maxOverlap(const QList<RecordedRequest>& requests);

} // namespace tarvik::test
