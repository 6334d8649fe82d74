// The stand-in game's jars, compiled with the machine's JDK from the Java
// sources committed beside the world, and the facts about the machine's JVM
// that the world publishes. Compiled once per change of the sources into the
// state folder. Main thread only, at start-up.
#pragma once

#include <QByteArray>
#include <QString>

namespace tarvik::world {

struct StandInJars
{
    QByteArray client;  // the game: tarvik.world.game.Main
    QByteArray library; // its log library, a separate jar on the classpath
    QByteArray loader;  // the Fabric loader stand-in: tarvik.world.loader.Main
};

// Compiles (or reuses) the jars from `sourceDir` ("lib", "game", "loader")
// below `stateDir`. Throws std::runtime_error.
StandInJars buildStandInJars(const QString& sourceDir, const QString& stateDir);

// The machine's JVM (the real file behind `java` in PATH) and its Java
// major version, read the way the launcher's probe reads it. Throws
// std::runtime_error when there is none or it is older than 17.
struct MachineJava
{
    QString path;
    int major = 0;
};
MachineJava machineJava();

} // namespace tarvik::world
