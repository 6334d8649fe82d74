// The updater's command line (arguments separated by NUL bytes, the program
// name first). Property: accepted options, written back as "--name=value",
// are read back unchanged; a refused line comes with the parser's message.
#include "FuzzSupport.h"

#include "updater/Updater.h"

#include <QStringList>

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QStringList arguments{QStringLiteral("TarvikUpdater")};
    for (const QByteArray& part : fuzz::bytes(data, size).split('\0'))
        arguments.append(QString::fromUtf8(part));
    QString error;
    const std::optional<updater::Options> options = updater::tryParseArguments(arguments, &error);
    if (!options) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    const QStringList written{QStringLiteral("TarvikUpdater"),
                              QStringLiteral("--pid=") + options->pid,
                              QStringLiteral("--package=") + options->package,
                              QStringLiteral("--sha256=") + options->sha256,
                              QStringLiteral("--target=") + options->target};
    const std::optional<updater::Options> again = updater::tryParseArguments(written);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->pid == options->pid && again->package == options->package &&
               again->sha256 == options->sha256 && again->target == options->target);
    return 0;
}
