// Archive builders for tests: the ZipBuilder of devserver/ZipBuilder.h, and a
// patcher of header fields that makes archives that lie (wrong CRC-32, wrong
// declared size).
#pragma once

#include "devserver/ZipBuilder.h"

#include <QString>

#include <optional>

namespace tarvik::test {

using dev::ZipBuilder;
using dev::zipOf;

// Changes the CRC-32 and/or the declared uncompressed size of entry `index`
// in both its local header and its central directory record.
bool patchZipEntry(const QString& path, int index, std::optional<quint32> crc,
                   std::optional<quint32> uncompressedSize);

} // namespace tarvik::test
