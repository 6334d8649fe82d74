// The user's choices, kept in dataDir + "/settings.json". A plain value: the
// Controller holds the one in force, the settings page, event choice and mod
// toggle change copies and put them in force only after save() succeeded.
// load() runs on the GUI thread; save() touches only its argument and the
// file, so it may run on a worker thread.
#pragma once

#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QString>

namespace tarvik {

struct Settings
{
    qint32 ramMb = 4096;
    qint32 width = 1280;
    qint32 height = 720;
    QString javaPath;
    QString jvmFlags = QStringLiteral("-XX:+UseG1GC");
    QString selectedEvent;
    bool closeOnLaunch = false;
    // Event id -> the mod ids switched on in that event, ordered by event id.
    QMap<QString, QSet<QString>> enabledMods;

    // The file's location.
    static QString path();

    // The stored settings, or the defaults when there is no file (nothing is
    // written then). Throws Error when the file cannot be read, is not a JSON
    // object, or holds values that validate() refuses.
    static Settings load();

    // The settings that a document holds, read leniently and validated;
    // throws Error as load() does.
    static Settings fromJson(const QJsonObject& object);

    // The document that save() writes (mod ids sorted); fromJson gives the
    // same settings back.
    static QJsonObject toJson(const Settings& settings);

    // Throws Error with the first rule the values break.
    static void validate(const Settings& settings);

    // Validates, then replaces the file atomically; nothing is written when
    // validation fails, and a failed write leaves the old file as it was.
    static void save(const Settings& settings);

    friend bool operator==(const Settings&, const Settings&) = default;
};

} // namespace tarvik
