#include "SignInPage.h"

namespace tarvik::world {

namespace {

QByteArray page(const QString& heading, const QString& body)
{
    return QStringLiteral(
               "<!doctype html>\n<html lang=\"cs\"><head><meta charset=\"utf-8\">"
               "<meta name=\"viewport\" content=\"width=device-width\">"
               "<title>Přihlášení · Tarvik World</title><style>"
               "body{font-family:system-ui,sans-serif;background:#1b1d23;color:#eee;"
               "display:flex;justify-content:center;padding-top:10vh}"
               "main{background:#262932;padding:2em 2.5em;border-radius:10px;max-width:28em}"
               "input{font-size:1.6em;letter-spacing:.15em;width:10em;padding:.2em;"
               "text-transform:uppercase}"
               "button{font-size:1em;margin:1em .5em 0 0;padding:.5em 1.2em}"
               ".muted{color:#9aa}.error{color:#f88}</style></head><body><main>"
               "<h1>%1</h1>%2</main></body></html>\n")
        .arg(heading, body)
        .toUtf8();
}

QString form(const QString& playerName, const QString& error)
{
    QString html;
    if (!error.isEmpty())
        html += "<p class=\"error\">" + error + "</p>";
    html += QStringLiteral("<p>Zadejte kód, který ukazuje Tarvik Client.</p>"
                           "<form method=\"post\" action=\"%1\">"
                           "<input name=\"code\" autocomplete=\"off\" autofocus maxlength=\"32\" "
                           "aria-label=\"Kód\"><br>"
                           "<button name=\"action\" value=\"approve\">Povolit</button>"
                           "<button name=\"action\" value=\"decline\">Odmítnout</button></form>"
                           "<p class=\"muted\">Místní zkušební svět: přihlásíte se jako hráč "
                           "<b>%2</b>.</p>")
                .arg(signInPagePath(), playerName.toHtmlEscaped());
    return html;
}

dev::Reply html(int status, const QByteArray& body)
{
    dev::Reply reply = dev::Reply::withStatus(status, body);
    reply.header("Content-Type", "text/html; charset=utf-8");
    reply.header("Cache-Control", "no-store");
    return reply;
}

} // namespace

QString formField(const QByteArray& body, const QString& name)
{
    for (const QByteArray& pair : body.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        const QByteArray key = equals < 0 ? pair : pair.left(equals);
        if (QString::fromUtf8(QByteArray::fromPercentEncoding(QByteArray(key).replace('+', ' '))) !=
            name)
            continue;
        const QByteArray value = equals < 0 ? QByteArray() : pair.mid(equals + 1);
        return QString::fromUtf8(
            QByteArray::fromPercentEncoding(QByteArray(value).replace('+', ' ')));
    }
    return {};
}

void serveSignInPage(dev::HttpsServer& server, dev::AuthServices& services,
                     const QString& playerName)
{
    const QString title = QStringLiteral("Přihlášení k účtu");
    server.on("GET", signInPagePath(), [=](const dev::RecordedRequest&) {
        return html(200, page(title, form(playerName, {})));
    });
    server.on("POST", signInPagePath(), [=, &services](const dev::RecordedRequest& request) {
        const QString code = formField(request.body, QStringLiteral("code"));
        const bool decline =
            formField(request.body, QStringLiteral("action")) == QLatin1String("decline");
        if (decline ? services.decline(code) : services.approve(code)) {
            if (decline) {
                return html(200, page(QStringLiteral("Přihlášení odmítnuto"),
                                      QStringLiteral("<p>Tarvik Client přihlášení ukončí. "
                                                     "Toto okno můžete zavřít.</p>")));
            }
            return html(200,
                        page(QStringLiteral("Hotovo"),
                             QStringLiteral("<p>Tarvik Client vás za chvíli přihlásí jako hráče "
                                            "<b>%1</b>. Toto okno můžete zavřít.</p>")
                                 .arg(playerName.toHtmlEscaped())));
        }
        return html(400,
                    page(title, form(playerName, QStringLiteral("Kód neplatí, vypršel nebo už byl "
                                                                "použit. Zkontrolujte jej a zkuste "
                                                                "to znovu."))));
    });
}

} // namespace tarvik::world
