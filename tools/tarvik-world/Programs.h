// Running the machine's command-line programs (openssl, javac, jar, java)
// for the stand-in world's set-up. Blocking; main thread only.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace tarvik::world {

// Throws std::runtime_error with the message.
[[noreturn]] void fail(const QString& message);

// The whole content of a file; throws std::runtime_error when it cannot be read.
QByteArray readAll(const QString& path);

struct ProgramResult
{
    // Started, ended by itself within the time limit, exit code 0.
    bool ok = false;
    // Standard output and standard error, merged.
    QByteArray output;
};

// The program's path in PATH. Throws std::runtime_error naming the Debian
// package that brings it when it is missing.
QString findProgram(const QString& name, const QString& package);

// Runs the program to its end (killed after `timeoutMs`).
ProgramResult runProgram(const QString& program, const QStringList& arguments,
                         int timeoutMs = 120000);

// runProgram that throws std::runtime_error with the output when it fails.
QByteArray runOrThrow(const QString& program, const QStringList& arguments);

} // namespace tarvik::world
