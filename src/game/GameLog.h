// The logging category of game installation and launch, "tarvik.game":
// silent by default, switched on with QT_LOGGING_RULES="tarvik.game.debug=true".
// Never log an access token.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcGame)
