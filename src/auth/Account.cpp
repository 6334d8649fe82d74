#include "auth/Account.h"

namespace tarvik {

bool isSessionUsable(const Account& account)
{
    return detail::isSessionUsable(account, QDateTime::currentDateTimeUtc());
}

namespace detail {

bool isSessionUsable(const Account& account, const QDateTime& nowUtc)
{
    if (account.accessToken.isEmpty() || !account.expiresAt.isValid())
        return false;
    return account.expiresAt > nowUtc.addSecs(kSessionMarginSeconds);
}

} // namespace detail

} // namespace tarvik
