// Which mods of an event must be present: the user's choice, the required
// mods and their dependencies, closed transitively. Stateless; callable from
// any thread.
#pragma once

#include "catalog/Catalog.h"

#include <QSet>
#include <QString>

namespace tarvik {

class ModManager
{
public:
    // The ids of `event`'s mods that are switched on in `enabled` (ids the
    // event does not list are dropped, compared case-sensitively), every
    // required mod, and all their dependencies. Never throws; ends even on a
    // cyclic graph.
    static QSet<QString> resolve(const Event& event, QSet<QString> enabled);
};

} // namespace tarvik
