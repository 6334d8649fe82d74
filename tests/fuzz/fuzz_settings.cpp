// The settings file: any document is read leniently and validated. Property:
// settings that were accepted are accepted again from the document that
// saving writes, and read back equal.
#include "FuzzSupport.h"

#include "catalog/Settings.h"

#include <QJsonDocument>

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::optional<QJsonObject> document = fuzz::jsonObject(data, size);
    if (!document)
        return 0;
    Settings settings;
    try {
        settings = Settings::fromJson(*document);
    } catch (const Error&) {
        return 0;
    }
    Settings::validate(settings);
    const QByteArray saved =
        QJsonDocument(Settings::toJson(settings)).toJson(QJsonDocument::Indented);
    FUZZ_CHECK(Settings::fromJson(parseJsonObject(saved)) == settings);
    return 0;
}
