// The relative-path rule and resolveInside, as properties: an accepted path
// is relative, has no empty, "." or ".." segment, no drive or stream colon
// and no Windows device name (checked here the way Windows reads a name:
// up to the first dot, trailing blanks ignored); validating it again gives
// the same path; joined to a base it stays below the base and never passes
// through the link that the base holds.
#include "FuzzSupport.h"

#include <QFile>
#include <QRegularExpression>

using namespace tarvik;

namespace {

bool namesDevice(const QString& segment)
{
    QString name = segment.left(segment.indexOf(QLatin1Char('.')));
    while (name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    static const QRegularExpression device(
        QStringLiteral("^(con|prn|aux|nul|(com|lpt)[0-9\\x{b9}\\x{b2}\\x{b3}])$"),
        QRegularExpression::CaseInsensitiveOption);
    return device.match(name).hasMatch();
}

const QString& base()
{
    static const QString path = [] {
        const QString folder = fuzz::scratch() + QStringLiteral("/base");
        ensureDir(folder);
        ensureDir(fuzz::scratch() + QStringLiteral("/elsewhere"));
        QFile::link(fuzz::scratch() + QStringLiteral("/elsewhere"),
                    folder + QStringLiteral("/link"));
        return folder;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An odd first byte reads the rest as UTF-16, so that any code unit
    // (lone surrogates included) can be reached; otherwise UTF-8.
    QString text;
    if (size > 0 && (data[0] & 1) != 0)
        text = QString::fromUtf16(reinterpret_cast<const char16_t*>(data + 1),
                                  static_cast<qsizetype>((size - 1) / 2));
    else
        text = QString::fromUtf8(fuzz::bytes(data, size).mid(1));

    QString path;
    try {
        path = sanitizeRelativePath(text);
    } catch (const Error& e) {
        FUZZ_CHECK(e.message().startsWith(QStringLiteral("Nepovolená cesta v manifestu: ")));
        return 0;
    }
    FUZZ_CHECK(sanitizeRelativePath(path) == path);
    FUZZ_CHECK(!path.startsWith(QLatin1Char('/')) && !path.contains(QLatin1Char('\\')));
    FUZZ_CHECK(!path.contains(QLatin1Char(':')));
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        FUZZ_CHECK(!segment.isEmpty() && segment != QLatin1String(".") &&
                   segment != QLatin1String(".."));
        FUZZ_CHECK(!namesDevice(segment));
    }

    QString joined;
    try {
        joined = resolveInside(base(), text);
    } catch (const Error&) {
        // Only the link may stop an accepted path.
        FUZZ_CHECK(segments.first() == QLatin1String("link"));
        return 0;
    }
    FUZZ_CHECK(segments.first() != QLatin1String("link"));
    FUZZ_CHECK(joined == base() + QLatin1Char('/') + path);
    FUZZ_CHECK(QDir::cleanPath(joined) == joined);
    return 0;
}
