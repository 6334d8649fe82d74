// The logging category of account sign-in, "tarvik.auth": silent by default,
// switched on with QT_LOGGING_RULES="tarvik.auth.debug=true". Never log a
// token, a device code, a user hash or an Authorization header: only steps,
// statuses and hosts.
#pragma once

#include <QLoggingCategory>

namespace tarvik {
Q_DECLARE_LOGGING_CATEGORY(lcAuth)
} // namespace tarvik
