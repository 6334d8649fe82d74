#include "devserver/ZipBuilder.h"

#include <QFile>
#include <QTemporaryDir>

#include <zip.h>

namespace tarvik::dev {

ZipBuilder& ZipBuilder::file(const QByteArray& name, const QByteArray& data, Method method,
                             std::optional<quint32> unixMode)
{
    Entry e;
    e.name = name;
    e.data = data;
    e.method = method;
    if (unixMode) {
        e.opsys = ZIP_OPSYS_UNIX;
        e.attributes = *unixMode << 16;
    }
    m_entries.append(e);
    return *this;
}

ZipBuilder& ZipBuilder::directory(const QByteArray& name)
{
    Entry e;
    e.name = name;
    e.isDirectory = true;
    m_entries.append(e);
    return *this;
}

ZipBuilder& ZipBuilder::symlink(const QByteArray& name, const QByteArray& target)
{
    file(name, target, Method::Stored, 0120777);
    return *this;
}

ZipBuilder& ZipBuilder::externalAttributes(quint8 opsys, quint32 attributes)
{
    if (!m_entries.isEmpty()) {
        m_entries.last().opsys = opsys;
        m_entries.last().attributes = attributes;
    }
    return *this;
}

bool ZipBuilder::write(const QString& path, QString* error) const
{
    int code = 0;
    zip_t* archive =
        zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    auto fail = [&](const char* what) {
        if (error)
            *error = QString::fromUtf8(what);
        if (archive)
            zip_discard(archive);
        return false;
    };
    if (!archive)
        return fail("zip_open");
    for (const Entry& e : m_entries) {
        zip_int64_t index = -1;
        if (e.isDirectory) {
            // zip_dir_add appends a slash itself; add the name without it.
            QByteArray name = e.name;
            if (name.endsWith('/'))
                name.chop(1);
            index = zip_dir_add(archive, name.constData(), ZIP_FL_ENC_RAW);
        } else {
            zip_source_t* source =
                zip_source_buffer(archive, e.data.constData(), zip_uint64_t(e.data.size()), 0);
            if (!source)
                return fail("zip_source_buffer");
            index = zip_file_add(archive, e.name.constData(), source, ZIP_FL_ENC_RAW);
            if (index < 0) {
                zip_source_free(source);
                return fail(zip_strerror(archive));
            }
            const zip_int32_t method = e.method == Method::Stored  ? ZIP_CM_STORE
                                       : e.method == Method::Bzip2 ? ZIP_CM_BZIP2
                                                                   : ZIP_CM_DEFLATE;
            if (zip_set_file_compression(archive, zip_uint64_t(index), method, 0) != 0)
                return fail(zip_strerror(archive));
        }
        if (index < 0)
            return fail(zip_strerror(archive));
        if (e.opsys && zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, *e.opsys,
                                                        e.attributes) != 0)
            return fail(zip_strerror(archive));
    }
    // The buffers live in m_entries until zip_close has read them.
    if (zip_close(archive) != 0)
        return fail(zip_strerror(archive));
    return true;
}

QByteArray ZipBuilder::bytes() const
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("archive.zip"));
    QFile file(path);
    if (!write(path) || !file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QByteArray zipOf(const QList<QPair<QByteArray, QByteArray>>& entries)
{
    ZipBuilder builder;
    for (const auto& [name, data] : entries)
        builder.file(name, data);
    return builder.bytes();
}

} // namespace tarvik::dev
