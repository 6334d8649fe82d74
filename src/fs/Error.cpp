#include "fs/Error.h"

namespace tarvik {

Error::Error(const QString& message) : std::runtime_error(message.toUtf8().toStdString()) {}

QString Error::message() const
{
    return QString::fromUtf8(what());
}

CancelFlag makeCancelFlag()
{
    return std::make_shared<std::atomic_bool>(false);
}

bool isCancelled(const CancelFlag& flag)
{
    return flag && flag->load();
}

QString errorMessage(const std::exception& e)
{
    return QString::fromUtf8(e.what());
}

} // namespace tarvik
