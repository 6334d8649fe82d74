// The launcher's atomic save of one file, shared by the atomic writes and
// copies, ZIP extraction and the verified downloads. Used by one thread at a
// time; owns its temporary file until commit() or abandon().
#pragma once

#include <QByteArrayView>
#include <QFile>
#include <QString>
#include <QStringList>

namespace tarvik {

// Writes a new file under a temporary name in the target's folder and renames
// it over the target on commit, so the target is either its old self or the
// complete new file. The temporary is named "." + stem + "." + 1 to 13 random
// characters [0-9a-z] + ".part" (".zeta.jar.k3x9q.part"), where the stem is
// the target's name cut to 200 bytes of UTF-8 so that the temporary of a
// 255-byte name is still a valid name. The name is the same on every system:
// a run that is killed part-way leaves a name that later runs recognise as
// the launcher's own debris and remove, never one that looks like a user's
// file. The rename replaces a link at the target instead of writing through
// it.
class AtomicFile
{
public:
    explicit AtomicFile(const QString& target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file (never an existing one). False on failure.
    bool open();
    // Whether all bytes were accepted.
    bool write(QByteArrayView bytes);
    // Adds the owner-execute permission to the temporary file.
    bool setExecutableByOwner();

    // Synced: the data reaches the disk before the rename, so the target is
    // never a renamed but empty file after a power cut. Unsynced: for callers
    // that sync later themselves or that check the content on every run.
    enum class Durability { Synced, Unsynced };
    // Flushes, syncs if asked, closes and renames over the target. On failure
    // the temporary is removed and the target is unchanged.
    bool commit(Durability durability = Durability::Synced);
    // Removes the temporary; the target stays as it was.
    void abandon();

    const QString& target() const { return m_target; }

    // Whether a bare file name has the shape of the temporary files.
    static bool isTemporaryName(const QString& fileName);
    // The stem a temporary carries ("zeta.jar" for ".zeta.jar.k3x9q.part");
    // empty for any other name.
    static QString stemOfTemporary(const QString& fileName);
    // The stem of the temporaries of a target with this bare name.
    static QString temporaryStem(const QString& targetName);
    // Removes the temporaries that earlier runs left for this target, and
    // nothing else. Assumes no other writer of the same target is at work.
    static void removeStaleTemporaries(const QString& target);

    // Brings files committed Unsynced to the disk together: on Linux one
    // syncfs() per file system they are on, elsewhere a flush per file.
    // False when any of them could not be synced.
    static bool syncCommitted(const QStringList& paths);

private:
    QString m_target;
    QFile m_file;
};

} // namespace tarvik
