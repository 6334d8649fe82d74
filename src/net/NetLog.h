// The logging category of the network layer, "tarvik.net": silent by default,
// switched on with QT_LOGGING_RULES="tarvik.net.debug=true". Never log a
// token, a request body or an Authorization header.
#pragma once

#include <QLoggingCategory>

namespace tarvik {
Q_DECLARE_LOGGING_CATEGORY(lcNet)
} // namespace tarvik

class QString;
class QUrl;

namespace tarvik {
// A URL as it may be logged: without user information, query and fragment.
QString loggableUrl(const QUrl& url);
} // namespace tarvik
