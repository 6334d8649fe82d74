// Shared pieces of the libFuzzer targets: the input as Qt types, a scratch
// folder per process (also the data folder, so nothing reaches the real
// profile), and the property check that stops the run with the input kept.
#pragma once

#include "fs/Error.h"
#include "fs/SafeFiles.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

// A broken property is a crash: libFuzzer keeps the input as a reproducer.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace tarvik::fuzz {

inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// The input as a JSON object, or nothing when the launcher would refuse it
// before looking inside.
inline std::optional<QJsonObject> jsonObject(const uint8_t* data, size_t size)
{
    try {
        return parseJsonObject(bytes(data, size));
    } catch (const Error&) {
        return std::nullopt;
    }
}

// A folder that lives as long as the process; the first call also points the
// per-user data locations into it.
inline const QString& scratch()
{
    // Memory-backed where the system has it: targets that write files per
    // input run many times faster there.
    static const QString parent = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                      ? QStringLiteral("/dev/shm")
                                      : QDir::tempPath();
    static QTemporaryDir dir(parent + QStringLiteral("/tarvik-fuzz-XXXXXX"));
    static const bool configured = [] {
        const QByteArray path = QFile::encodeName(dir.path());
        qputenv("HOME", path);
        qputenv("XDG_DATA_HOME", path + "/data");
        return true;
    }();
    (void)configured;
    static const QString path = dir.path();
    return path;
}

} // namespace tarvik::fuzz
