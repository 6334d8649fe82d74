// The operator's catalog: validation of any document, then dependency
// resolution of every event of a catalog that passed. Properties: the
// resolution only names mods of its event, holds every required mod and is
// closed under the dependencies that the event lists.
#include "FuzzSupport.h"

#include "catalog/Catalog.h"
#include "catalog/ModManager.h"

#include <QSet>

using namespace tarvik;

namespace {

void checkResolution(const Event& event, const QSet<QString>& enabled)
{
    QSet<QString> listed;
    for (const Mod& mod : event.mods)
        listed.insert(mod.id);
    const QSet<QString> resolved = ModManager::resolve(event, enabled);
    for (const Mod& mod : event.mods) {
        if (!resolved.contains(mod.id)) {
            FUZZ_CHECK(!mod.required);
            FUZZ_CHECK(!enabled.contains(mod.id));
            continue;
        }
        for (const QString& dependency : mod.dependencies)
            FUZZ_CHECK(!listed.contains(dependency) || resolved.contains(dependency));
    }
    for (const QString& id : resolved)
        FUZZ_CHECK(listed.contains(id));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::optional<QJsonObject> document = fuzz::jsonObject(data, size);
    if (!document)
        return 0;
    Catalog catalog;
    try {
        catalog = Catalog::fromJson(*document);
    } catch (const Error&) {
        return 0;
    }
    for (const Event& event : std::as_const(catalog.events)) {
        checkResolution(event, {});
        // Every other mod switched on, and an id the event does not list.
        QSet<QString> some{QStringLiteral("not-in-the-event")};
        for (qsizetype i = 0; i < event.mods.size(); i += 2)
            some.insert(event.mods.at(i).id);
        checkResolution(event, some);
    }
    return 0;
}
