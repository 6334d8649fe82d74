#include "support/ZipBuilder.h"

#include <QFile>
#include <QtEndian>

namespace tarvik::test {

bool patchZipEntry(const QString& path, int index, std::optional<quint32> crc,
                   std::optional<quint32> uncompressedSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    const qsizetype eocd = bytes.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (eocd < 0 || eocd + 22 > bytes.size())
        return false;
    auto u16 = [&](qsizetype at) { return qFromLittleEndian<quint16>(bytes.constData() + at); };
    auto u32 = [&](qsizetype at) { return qFromLittleEndian<quint32>(bytes.constData() + at); };
    auto put32 = [&](qsizetype at, quint32 v) { qToLittleEndian<quint32>(v, bytes.data() + at); };
    const int count = u16(eocd + 10);
    qsizetype record = u32(eocd + 16);
    for (int i = 0; i < count; ++i) {
        if (record + 46 > bytes.size() || u32(record) != 0x02014b50u)
            return false;
        if (i == index) {
            const qsizetype local = u32(record + 42);
            if (local + 30 > bytes.size() || u32(local) != 0x04034b50u)
                return false;
            if (crc) {
                put32(record + 16, *crc);
                put32(local + 14, *crc);
            }
            if (uncompressedSize) {
                put32(record + 24, *uncompressedSize);
                put32(local + 22, *uncompressedSize);
            }
            return file.seek(0) && file.write(bytes) == bytes.size();
        }
        record += 46 + u16(record + 28) + u16(record + 30) + u16(record + 32);
    }
    return false;
}

} // namespace tarvik::test
