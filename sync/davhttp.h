#pragma once
// The client's one HTTP exchange as the rest of it sees it: what came back,
// or why nothing did.

#include <QNetworkReply>
#include <QSslError>

#include "sync/carddav.h"

namespace orv::sync {

struct CardDavClient::Reply {
    QByteArray verb;
    QUrl url;
    int status = 0;
    QString reason;
    QByteArray etag;
    QUrl location;  // of a redirect
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QList<QSslError> sslErrors;
    QString fingerprint;  // of a certificate refused
    bool certificateChanged = false;
    bool timedOut = false;     // silent for the timeout
    bool tooSlow = false;      // past DavLimits::requestMs
    bool deadline = false;     // past the sync's own deadline
    qint64 tooLarge = 0;       // the limit the answer went past
    bool sinkStopped = false;  // the 207's reader stopped it
    bool offOrigin = false;    // never sent: not the collection's origin
};

}  // namespace orv::sync
