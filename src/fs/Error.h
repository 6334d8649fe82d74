// The one exception type for failures the user is to see, and the job's
// cancel flag. Shared by the launcher and the updater.
#pragma once

#include <QString>

#include <atomic>
#include <exception>
#include <memory>
#include <stdexcept>

namespace tarvik {

// A failure meant for the user: carries a fixed Czech message, kept as the
// standard exception's message in UTF-8. Thrown where the failure happens and
// caught only where it is reported.
class Error : public std::runtime_error
{
public:
    explicit Error(const QString& message);
    // The message decoded back from UTF-8.
    QString message() const;
};

// A job's cancel flag: set by the GUI thread, read by the worker at its check
// points. A null pointer is never cancelled.
using CancelFlag = std::shared_ptr<std::atomic_bool>;

CancelFlag makeCancelFlag();
bool isCancelled(const CancelFlag& flag);

// The text of any standard exception, decoded as UTF-8; how failures are turned
// into what the user reads.
QString errorMessage(const std::exception& e);

} // namespace tarvik
