#include "catalog/ModManager.h"

#include <QList>

#include <algorithm>

namespace tarvik {

QSet<QString> ModManager::resolve(const Event& event, QSet<QString> enabled)
{
    QSet<QString> result;
    // An explicit stack instead of recursion: an id enters the result before
    // its dependencies are looked at, so each id is expanded at most once.
    QList<QString> pending;
    const auto visit = [&](const QString& start) {
        pending.append(start);
        while (!pending.isEmpty()) {
            const QString id = pending.takeLast();
            if (result.contains(id))
                continue;
            const auto found = std::find_if(event.mods.cbegin(), event.mods.cend(),
                                            [&](const Mod& mod) { return mod.id == id; });
            if (found == event.mods.cend())
                continue;
            result.insert(id);
            // Reversed so that they are taken in catalog order.
            for (auto it = found->dependencies.crbegin(); it != found->dependencies.crend(); ++it)
                pending.append(*it);
        }
    };
    for (const QString& id : std::as_const(enabled))
        visit(id);
    for (const Mod& mod : event.mods) {
        if (mod.required)
            visit(mod.id);
    }
    return result;
}

} // namespace tarvik
