// Helpers for test files: an isolated data folder per test, small file
// writers, and the path of committed test data.
#pragma once

#include "fs/Error.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace tarvik::test {

// What errorOf() returns when the body throws nothing.
inline const QString kNoError = QStringLiteral("<no error>");

// Runs `body` and returns the message of the Error it throws, or kNoError.
template <typename F> QString errorOf(F&& body)
{
    try {
        body();
    } catch (const Error& e) {
        return e.message();
    }
    return kNoError;
}

// Absolute path of a file under tests/data.
QString dataPath(const QString& relative);

// Writes bytes to a file (parents created), failing the test on error.
bool writeBytes(const QString& path, const QByteArray& bytes);
QByteArray readBytes(const QString& path);

// A fresh, empty per-user data folder for the life of the object: points
// XDG_DATA_HOME at a temporary folder, so dataDir() lands inside it, and
// restores the previous value on destruction. Windows takes that folder from
// the shell, not from the environment: there Qt's test mode moves it to
// "qttest" below the real one, which the object empties on both ends (so
// tests that use it run one at a time).
class ScopedDataDir
{
public:
    ScopedDataDir();
    ~ScopedDataDir();
    ScopedDataDir(const ScopedDataDir&) = delete;
    ScopedDataDir& operator=(const ScopedDataDir&) = delete;

    QString root() const { return m_root; }

private:
    QTemporaryDir m_dir;
    QString m_root;
    QByteArray m_previous;
    bool m_hadPrevious = false;
};

// Files below a folder (recursive, relative paths, sorted); hidden files included.
QStringList listFiles(const QString& folder);

} // namespace tarvik::test
