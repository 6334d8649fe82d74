// The operator's catalog-check program, run as a real process on real files.
#include "support/TestData.h"
#include "support/TestEndpoints.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

QJsonObject modJson(const QString& id, const QString& file)
{
    return QJsonObject{{u"id"_s, id},
                       {u"name"_s, QString(u"Mod "_s + id)},
                       {u"version"_s, u"1.0"_s},
                       {u"description"_s, u"Popis."_s},
                       {u"category"_s, u"Grafika"_s},
                       {u"file"_s, file},
                       {u"url"_s, QString(u"https://cdn.example.net/"_s + file)},
                       {u"sha512"_s, QString(128, u'b')},
                       {u"size"_s, 10}};
}

QJsonObject catalogJson()
{
    QJsonObject vanilla{{u"id"_s, u"vanilla"_s},
                        {u"name"_s, u"Čistá hra"_s},
                        {u"description"_s, u"Bez modů."_s},
                        {u"minecraft"_s, u"1.20.4"_s}};
    QJsonObject fabric{
        {u"id"_s, u"summer"_s},
        {u"name"_s, u"Letní turnaj"_s},
        {u"description"_s, u"S mody."_s},
        {u"minecraft"_s, u"1.21.1"_s},
        {u"fabricLoader"_s, u"0.16.5"_s},
        {u"server"_s, u"play.example.cz"_s},
        {u"mods"_s, QJsonArray{modJson(u"a"_s, u"a.jar"_s), modJson(u"b"_s, u"b.jar"_s)}}};
    return QJsonObject{{u"schema"_s, 1}, {u"events"_s, QJsonArray{vanilla, fabric}}};
}

} // namespace

class TestCatalogCheck : public QObject
{
    Q_OBJECT

private slots:
    void verdict_data();
    void verdict();
    void fillHashes();
    void fillHashesMissingJar();
    void sign_data();
    void sign();

private:
    Run run(const QStringList& arguments);
    QString writeCatalog(const QByteArray& bytes);
    QTemporaryDir m_dir;
};

Run TestCatalogCheck::run(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(CATALOG_CHECK_PROGRAM), arguments);
    Run result;
    if (!process.waitForFinished(30000))
        return result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString TestCatalogCheck::writeCatalog(const QByteArray& bytes)
{
    const QString path = m_dir.filePath(u"catalog.json"_s);
    tarvik::test::writeBytes(path, bytes);
    return path;
}

void TestCatalogCheck::verdict_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expectedOut");
    QTest::addColumn<QString>("expectedErr");

    QJsonObject valid = catalogJson();
    QTest::newRow("valid") << QJsonDocument(valid).toJson() << 0
                           << u"OK\n"
                              "vanilla: Čistá hra · Minecraft 1.20.4 · mods: 0 (required: 0)\n"
                              "summer: Letní turnaj · Minecraft 1.21.1 · Fabric 0.16.5 · mods: 2 "
                              "(required: 0) · server play.example.cz\n"_s
                           << QString();

    QJsonObject badSha = catalogJson();
    QJsonArray events = badSha.value(u"events"_s).toArray();
    QJsonObject summer = events.at(1).toObject();
    QJsonArray mods = summer.value(u"mods"_s).toArray();
    QJsonObject b = mods.at(1).toObject();
    b.insert(u"sha512"_s, QString(127, u'b'));
    mods.replace(1, b);
    summer.insert(u"mods"_s, mods);
    events.replace(1, summer);
    badSha.insert(u"events"_s, events);
    QTest::newRow("bad hash") << QJsonDocument(badSha).toJson() << 1 << QString()
                              << u"events[1].mods[1].sha512: Neplatný SHA-512 modu.\n"_s;

    QJsonObject badSchema = catalogJson();
    badSchema.insert(u"schema"_s, 2);
    QTest::newRow("bad schema") << QJsonDocument(badSchema).toJson() << 1 << QString()
                                << u"schema: Nepodporované schéma katalogu.\n"_s;
    QTest::newRow("not JSON") << QByteArray("{") << 1 << QString()
                              << u"Server poslal neplatný JSON.\n"_s;
}

void TestCatalogCheck::verdict()
{
    QFETCH(QByteArray, document);
    QFETCH(int, exitCode);
    QFETCH(QString, expectedOut);
    QFETCH(QString, expectedErr);
    const Run result = run({writeCatalog(document)});
    QCOMPARE(result.err, expectedErr);
    QCOMPARE(result.out, expectedOut);
    QCOMPARE(result.exitCode, exitCode);
}

void TestCatalogCheck::fillHashes()
{
    const QString jars = m_dir.filePath(u"jars"_s);
    QVERIFY(tarvik::test::writeBytes(jars + u"/a.jar"_s, "alpha"));
    QVERIFY(tarvik::test::writeBytes(jars + u"/b.jar"_s, QByteArray(5000, 'b')));
    const Run result =
        run({u"--fill-hashes"_s, jars, writeCatalog(QJsonDocument(catalogJson()).toJson())});
    QCOMPARE(result.err, QString());
    QCOMPARE(result.exitCode, 0);

    const QJsonObject filled = QJsonDocument::fromJson(result.out.toUtf8()).object();
    const QJsonArray mods =
        filled.value(u"events"_s).toArray().at(1).toObject().value(u"mods"_s).toArray();
    QCOMPARE(mods.at(0).toObject().value(u"sha512"_s).toString().toLatin1(),
             QCryptographicHash::hash("alpha", QCryptographicHash::Sha512).toHex());
    QCOMPARE(mods.at(0).toObject().value(u"size"_s).toInteger(), 5);
    QCOMPARE(mods.at(1).toObject().value(u"size"_s).toInteger(), 5000);
    QCOMPARE(filled.value(u"events"_s).toArray().at(0),
             catalogJson().value(u"events"_s).toArray().at(0));

    // The filled catalog passes the check on its own.
    QCOMPARE(run({writeCatalog(result.out.toUtf8())}).exitCode, 0);
}

void TestCatalogCheck::fillHashesMissingJar()
{
    const QString jars = m_dir.filePath(u"only-a"_s);
    QVERIFY(tarvik::test::writeBytes(jars + u"/a.jar"_s, "alpha"));
    const Run result =
        run({u"--fill-hashes"_s, jars, writeCatalog(QJsonDocument(catalogJson()).toJson())});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QString());
    QCOMPARE(result.err, u"events[1].mods[1].file: Nelze ověřit soubor: "_s + jars + u"/b.jar\n"_s);
}

void TestCatalogCheck::sign_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("exitCode");
    const QByteArray valid = QJsonDocument(catalogJson()).toJson();
    const QString key = tarvik::test::operatorKeyFile(u"operator-a"_s);
    QTest::newRow("valid catalog") << valid << key << 0;
    QTest::newRow("invalid catalog") << QByteArray("{\"schema\":2}") << key << 1;
    QTest::newRow("certificate, not a key")
        << valid << tarvik::test::dataPath(u"tls/ca.pem"_s) << 1;
}

// Only a catalog that the launcher accepts is signed, over the file's exact
// bytes, in the format that `openssl dgst -verify` checks.
void TestCatalogCheck::sign()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, key);
    QFETCH(int, exitCode);
    const QString catalog = writeCatalog(document);
    QFile::remove(catalog + u".sig"_s);
    QCOMPARE(run({u"--sign"_s, key, catalog}).exitCode, exitCode);
    QCOMPARE(QFile::exists(catalog + u".sig"_s), exitCode == 0);
    QProcess openssl;
    openssl.start(u"openssl"_s, {u"dgst"_s, u"-sha256"_s, u"-verify"_s,
                                 tarvik::test::operatorKeyFile(u"operator-a"_s, true),
                                 u"-signature"_s, catalog + u".sig"_s, catalog});
    QVERIFY(openssl.waitForFinished(30000));
    QCOMPARE(openssl.exitCode() == 0, exitCode == 0);
}

QTEST_GUILESS_MAIN(TestCatalogCheck)
#include "tst_catalogcheck.moc"
