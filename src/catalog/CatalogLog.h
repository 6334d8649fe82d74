// The logging category of the catalog area (catalog, mod resolution,
// settings); silent below warnings unless switched on with QT_LOGGING_RULES.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCatalog)
