#pragma once
// A WebDAV multistatus read as it arrives: each <response> is handed on as
// soon as it is complete, and only what the sync uses is kept. Reading holds
// no more than the limits allow whatever the answer is: no recursion that
// grows with the nesting, no text kept beyond its limit (a card larger than
// its limit is marked and the rest goes on), no DTD.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>
#include <functional>
#include <optional>

#include "sync/limits.h"

namespace orv::sync::detail {

// One <response>, with the properties that came with a 2xx propstat.
struct DavResponse {
    QString href;
    int status = 0;  // the response's own status (a deleted member); 0 when none
    QString etag, contentType, syncToken, displayName, principal, home;
    std::optional<QByteArray> addressData;  // UTF-8
    bool cardTooLarge = false;              // address-data past DavLimits::cardBytes
    bool collection = false, addressBook = false;
    QStringList reports;
};

// Passes the bytes of an answer on to the XML reader, except the text of a
// run longer than `textLimit`, which it drops (marking the place with the
// processing instruction <?orv-elided?>), so that the reader never buffers a
// text without end. Markup longer than `markupLimit` (a tag, comment or
// processing instruction) and any DTD are errors.
class XmlGuard {
  public:
    XmlGuard(qint64 textLimit, qint64 markupLimit)
        : textLimit_(textLimit), markupLimit_(markupLimit) {}
    // Appends to `out` what the reader may see of `data`; false on an error.
    bool pass(const char* data, qsizetype size, QByteArray& out);
    const QString& error() const { return error_; }

  private:
    enum class State { Text, Open, Tag, Comment, CData, Pi, Quote };
    void text(char c, QByteArray& out, bool cdata);
    template <class Stops>
    bool passRun(const char* data, qsizetype& i, qsizetype size, qint64 limit, QByteArray& out,
                 Stops stops);
    bool fail(const QString& why);

    qint64 textLimit_, markupLimit_;
    State state_ = State::Text;
    qint64 run_ = 0;      // bytes of the current text run or markup
    QByteArray pending_;  // a text run's tail held back: an entity or a character cut short
    bool eliding_ = false;
    QByteArray open_;  // what followed '<' while its kind is not yet known
    char quote_ = 0;
    int ends_ = 0;  // how much of the closing "-->", "]]>" or "?>" has come
    QString error_;
};

class MultistatusReader {
  public:
    // `onResponse` takes each response; it returns false to stop reading
    // (having said why in `stopReason`).
    MultistatusReader(const DavLimits& limits, std::function<bool(DavResponse&)> onResponse);
    // False once the answer cannot be read; error() says why.
    bool feed(const char* data, qsizetype size);
    bool finish();
    const QString& error() const { return error_; }
    // sync-collection's new token.
    const QString& syncToken() const { return syncToken_; }
    QString stopReason;

  private:
    enum Elem : unsigned char {
        Other,
        Multistatus,
        Response,
        Href,
        Status,
        Propstat,
        Prop,
        GetEtag,
        ContentType,
        SyncToken,
        AddressData,
        ResourceType,
        DisplayName,
        Principal,
        Home,
        ReportSet,
        SupportedReport,
        Report,
    };
    bool run();
    bool start();
    void end();
    bool characters(QStringView text);
    bool fail(const QString& why);
    Elem classify() const;

    const DavLimits& limits_;
    std::function<bool(DavResponse&)> onResponse_;
    XmlGuard guard_;
    QXmlStreamReader x_;
    QByteArray passed_;
    std::vector<Elem> path_;
    DavResponse response_, props_;
    int propstatStatus_ = 0;
    // The text being read: of the element at captureDepth_ and all inside it.
    int captureDepth_ = 0;
    Elem capture_ = Other;
    QString text_;
    QByteArray data_;
    bool principalDone_ = false, homeDone_ = false;
    QString syncToken_, error_;
    bool failed_ = false, stopped_ = false;
};

}  // namespace orv::sync::detail
