// Builds real ZIP archives with libzip: test archives of every shape, and the
// jars and runtime archives that the stand-in services publish.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace tarvik::dev {

class ZipBuilder
{
public:
    enum class Method { Stored, Deflated, Bzip2 };

    // A file entry; unixMode (e.g. 0100755) marks the entry as made on Unix.
    ZipBuilder& file(const QByteArray& name, const QByteArray& data,
                     Method method = Method::Deflated, std::optional<quint32> unixMode = {});
    // A directory entry (the name is stored as given; add the slash yourself).
    ZipBuilder& directory(const QByteArray& name);
    // A Unix symbolic link entry pointing at target.
    ZipBuilder& symlink(const QByteArray& name, const QByteArray& target);
    // Raw external attributes for the last added entry.
    ZipBuilder& externalAttributes(quint8 opsys, quint32 attributes);

    // Writes the archive; returns false (and the libzip message) on failure.
    bool write(const QString& path, QString* error = nullptr) const;
    // The archive's bytes (empty on failure).
    QByteArray bytes() const;

private:
    struct Entry
    {
        QByteArray name;
        QByteArray data;
        Method method = Method::Deflated;
        bool isDirectory = false;
        std::optional<quint8> opsys;
        quint32 attributes = 0;
    };
    QList<Entry> m_entries;
};

// A deflated archive of (name, data) entries, as bytes.
QByteArray zipOf(const QList<QPair<QByteArray, QByteArray>>& entries);

} // namespace tarvik::dev
