// The verification page of the stand-in identity platform: the address that
// the launcher shows with the device code. GET shows a form where a person
// types the code and approves or declines; POST settles the waiting code in
// AuthServices, so that the launcher's next poll gets tokens (or the
// refusal). The handlers run on the server's thread.
#pragma once

#include "devserver/AuthServices.h"
#include "devserver/HttpsServer.h"

#include <QString>

namespace tarvik::world {

// The page's path on the world's server.
inline QString signInPagePath()
{
    return QStringLiteral("/link");
}

// Registers GET and POST of the page. `playerName` is shown as the account
// that the person signs in with. `services` must outlive the server.
void serveSignInPage(dev::HttpsServer& server, dev::AuthServices& services,
                     const QString& playerName);

// The value of one field of an application/x-www-form-urlencoded body
// ("+" and percent escapes decoded), or a null string when it is absent.
QString formField(const QByteArray& body, const QString& name);

} // namespace tarvik::world
