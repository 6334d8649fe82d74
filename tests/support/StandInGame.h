// The stand-in game of the end-to-end tests, compiled once per test process
// from tests/launch/standin with the machine's JDK: a client jar whose main
// class records what it received in "seen.txt" of its game folder (and then
// exits, floods its output or lingers as TARVIK_STANDIN_GAME says), and the
// library jar it calls into.
#pragma once

#include <QByteArray>
#include <QString>

namespace tarvik::test {

struct StandInGame
{
    // Main class of the client jar.
    static QString mainClass() { return QStringLiteral("tarvik.standin.game.Main"); }

    QByteArray clientJar;
    QByteArray libraryJar;
    // Why the jars could not be built; empty on success.
    QString error;
};

// Builds the jars on the first call; later calls return the same result.
const StandInGame& standInGame();

} // namespace tarvik::test
