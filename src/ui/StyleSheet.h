// The launcher's one style sheet: widget object names act as style classes
// ("title", "heading", "eyebrow", "muted", "message", "card", "primary").
#pragma once

#include <QString>

namespace tarvik {

QString launcherStyleSheet();

} // namespace tarvik
