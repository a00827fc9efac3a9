#include "sync/davxml.h"

#include <QLocale>

#include <algorithm>

namespace orv::sync {

QString bytesText(qint64 bytes) {
    if (bytes >= (1LL << 20) && bytes % (1LL << 20) == 0)
        return QStringLiteral("%1 MiB").arg(bytes >> 20);
    if (bytes >= 1024 && bytes % 1024 == 0) return QStringLiteral("%1 KiB").arg(bytes >> 10);
    return QStringLiteral("%1 bytes").arg(bytes);
}

}  // namespace orv::sync

namespace orv::sync::detail {

namespace {

const QString kDav = QStringLiteral("DAV:");
const QString kCard = QStringLiteral("urn:ietf:params:xml:ns:carddav");
constexpr char kElided[] = "<?orv-elided?>";

int statusOf(const QString& line) {  // "HTTP/1.1 404 Not Found"
    return line.trimmed().section(QLatin1Char(' '), 1, 1).toInt();
}

}  // namespace

bool XmlGuard::fail(const QString& why) {
    if (error_.isEmpty()) error_ = why;
    return false;
}

// One byte of a text run (or of a CDATA section): passed on, held back while
// an entity or a UTF-8 character is incomplete, or dropped past the limit.
void XmlGuard::text(char c, QByteArray& out, bool cdata) {
    if (eliding_) return;
    if (++run_ > textLimit_) {
        // The held-back piece goes: what the reader has seen ends cleanly.
        pending_.clear();
        out += cdata ? QByteArray("]]>") + kElided : QByteArray(kElided);
        eliding_ = true;
        return;
    }
    const auto b = static_cast<unsigned char>(c);
    if (!pending_.isEmpty()) {
        pending_ += c;
        const auto lead = static_cast<unsigned char>(pending_[0]);
        const bool entityDone = lead == '&' && (c == ';' || pending_.size() > 40);
        const qsizetype utf8Length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (entityDone || (lead != '&' && pending_.size() >= utf8Length)) {
            out += pending_;
            pending_.clear();
        }
    } else if ((c == '&' && !cdata) || b >= 0xC0) {
        pending_ += c;
    } else {
        out += c;
    }
}

bool XmlGuard::pass(const char* data, qsizetype size, QByteArray& out) {
    if (!error_.isEmpty()) return false;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        switch (state_) {
            case State::Text:
                if (c != '<') {
                    // A run of plain bytes goes in one piece; entities, UTF-8
                    // leads and the limit's edge byte by byte.
                    if (!eliding_ && pending_.isEmpty()) {
                        qsizetype end = i;
                        const qsizetype most = std::min<qint64>(size, i + (textLimit_ - run_));
                        while (end < most && data[end] != '<' && data[end] != '&' &&
                               static_cast<unsigned char>(data[end]) < 0xC0)
                            ++end;
                        if (end > i) {
                            out.append(data + i, end - i);
                            run_ += end - i;
                            i = end - 1;
                            break;
                        }
                    }
                    text(c, out, false);
                    break;
                }
                if (!eliding_) out += pending_;
                pending_.clear();
                eliding_ = false;
                open_ = "<";
                state_ = State::Open;
                break;
            case State::Open: {
                open_ += c;
                static const QByteArray comment("<!--"), cdata("<![CDATA[");
                if (open_.size() == 2 && c != '!') {
                    out += open_;
                    run_ = 2;
                    state_ = c == '?' ? State::Pi : State::Tag;
                    ends_ = 0;
                    if (c == '>') state_ = State::Text, run_ = 0;
                } else if (open_ == comment || open_ == cdata) {
                    out += open_;
                    state_ = open_ == comment ? State::Comment : State::CData;
                    run_ = 0;
                    ends_ = 0;
                } else if (!comment.startsWith(open_) && !cdata.startsWith(open_)) {
                    return fail(QStringLiteral("trae una DTD o una declaración, que no se leen"));
                }
                break;
            }
            case State::Tag:
            case State::Quote: {
                // Up to what may end the tag or the quote, in one piece.
                const qsizetype most = std::min<qint64>(size, i + (markupLimit_ - run_));
                qsizetype end = i;
                while (end < most && data[end] != '>' && data[end] != '"' && data[end] != '\'')
                    ++end;
                if (end > i) {
                    out.append(data + i, end - i);
                    run_ += end - i;
                    i = end - 1;
                    break;
                }
                out += c;
                if (++run_ > markupLimit_)
                    return fail(QStringLiteral("tiene una etiqueta de más de %1")
                                    .arg(bytesText(markupLimit_)));
                if (state_ == State::Quote) {
                    if (c == quote_) state_ = State::Tag;
                } else if (c == '"' || c == '\'') {
                    quote_ = c;
                    state_ = State::Quote;
                } else if (c == '>') {
                    state_ = State::Text;
                    run_ = 0;
                }
                break;
            }
            case State::Comment:
            case State::Pi: {
                out += c;
                if (++run_ > markupLimit_)
                    return fail(QStringLiteral("tiene un comentario o una instrucción de más de %1")
                                    .arg(bytesText(markupLimit_)));
                const char mark = state_ == State::Comment ? '-' : '?';
                const int needed = state_ == State::Comment ? 2 : 1;
                if (c == '>' && ends_ >= needed) {
                    state_ = State::Text;
                    run_ = 0;
                } else {
                    ends_ = c == mark ? ends_ + 1 : 0;
                }
                break;
            }
            case State::CData:
                if (c == '>' && ends_ >= 2) {
                    // The section ends; when it was cut, "]]>" was passed already.
                    if (!eliding_) {
                        out += pending_;
                        out += c;
                    }
                    pending_.clear();
                    eliding_ = false;
                    state_ = State::Text;
                    run_ = 0;
                    ends_ = 0;
                    break;
                }
                ends_ = c == ']' ? ends_ + 1 : 0;
                text(c, out, true);
                break;
        }
    }
    return true;
}

MultistatusReader::MultistatusReader(const DavLimits& limits,
                                     std::function<bool(DavResponse&)> onResponse)
    : limits_(limits),
      onResponse_(std::move(onResponse)),
      // A card's text may spell each line break as "&#13;": twice its limit in bytes.
      guard_(std::max<qint64>(2 * limits.cardBytes, 4 * limits.fieldBytes), 64 << 10) {
    x_.setNamespaceProcessing(true);
}

bool MultistatusReader::fail(const QString& why) {
    if (!failed_) error_ = why;
    failed_ = true;
    return false;
}

bool MultistatusReader::feed(const char* data, qsizetype size) {
    if (failed_) return false;
    passed_.clear();
    if (!guard_.pass(data, size, passed_)) return fail(guard_.error());
    if (passed_.isEmpty()) return true;
    x_.addData(passed_);
    return run();
}

bool MultistatusReader::finish() {
    if (failed_) return false;
    if (x_.tokenType() != QXmlStreamReader::EndDocument)
        return fail(path_.empty() && x_.tokenType() == QXmlStreamReader::NoToken
                        ? QStringLiteral("la respuesta está vacía")
                        : QStringLiteral("el documento XML termina antes de tiempo"));
    return true;
}

bool MultistatusReader::run() {
    while (!x_.atEnd()) {
        switch (x_.readNext()) {
            case QXmlStreamReader::StartElement:
                if (!start()) return false;
                break;
            case QXmlStreamReader::EndElement:
                end();
                if (failed_) return false;
                break;
            case QXmlStreamReader::Characters:
                if (!characters(x_.text())) return false;
                break;
            case QXmlStreamReader::ProcessingInstruction:
                if (x_.processingInstructionTarget() == QLatin1String("orv-elided") &&
                    captureDepth_ > 0) {
                    if (capture_ != AddressData)
                        return fail(QStringLiteral("un campo de la respuesta pasa de %1")
                                        .arg(bytesText(limits_.fieldBytes)));
                    props_.cardTooLarge = true;
                    data_.clear();
                }
                break;
            case QXmlStreamReader::DTD:
                return fail(QStringLiteral("trae una DTD o una declaración, que no se leen"));
            case QXmlStreamReader::Invalid:
                if (x_.error() == QXmlStreamReader::PrematureEndOfDocumentError) return true;
                return fail(QStringLiteral("el XML está mal formado (línea %1, columna %2)")
                                .arg(x_.lineNumber())
                                .arg(x_.columnNumber()));
            default:
                break;
        }
    }
    return true;
}

MultistatusReader::Elem MultistatusReader::classify() const {
    const Elem parent = path_.empty() ? Other : path_.back();
    const QStringView ns = x_.namespaceUri(), name = x_.name();
    const bool dav = ns == kDav, card = ns == kCard;
    auto is = [&](const char* n) { return name == QLatin1String(n); };
    if (path_.empty()) return dav && is("multistatus") ? Multistatus : Other;
    switch (parent) {
        case Multistatus:
            return dav && is("response") ? Response : dav && is("sync-token") ? SyncToken : Other;
        case Response:
            return !dav             ? Other
                   : is("href")     ? Href
                   : is("status")   ? Status
                   : is("propstat") ? Propstat
                                    : Other;
        case Propstat:
            return dav && is("prop") ? Prop : dav && is("status") ? Status : Other;
        case Prop:
            if (card)
                return is("address-data") ? AddressData : is("addressbook-home-set") ? Home : Other;
            if (!dav) return Other;
            return is("getetag")                  ? GetEtag
                   : is("getcontenttype")         ? ContentType
                   : is("sync-token")             ? SyncToken
                   : is("resourcetype")           ? ResourceType
                   : is("displayname")            ? DisplayName
                   : is("current-user-principal") ? Principal
                   : is("supported-report-set")   ? ReportSet
                                                  : Other;
        case Principal:
        case Home:
            return dav && is("href") ? Href : Other;
        case ReportSet:
            return dav && is("supported-report") ? SupportedReport : Other;
        case SupportedReport:
            return dav && is("report") ? Report : Other;
        default:
            return Other;
    }
}

bool MultistatusReader::start() {
    const int depth = static_cast<int>(path_.size()) + 1;
    if (depth > limits_.depth)
        return fail(QStringLiteral("el XML anida más de %1 elementos").arg(limits_.depth));
    if (captureDepth_ > 0) {  // inside a text: its elements' text counts, nothing else
        path_.push_back(Other);
        return true;
    }
    const Elem parent = path_.empty() ? Other : path_.back();
    const Elem e = classify();
    if (depth == 1 && e != Multistatus)
        return fail(QStringLiteral("no es un multistatus de WebDAV"));
    if (parent == ResourceType) {
        const bool dav = x_.namespaceUri() == kDav;
        props_.collection = props_.collection || (dav && x_.name() == QLatin1String("collection"));
        props_.addressBook = props_.addressBook || (x_.namespaceUri() == kCard &&
                                                    x_.name() == QLatin1String("addressbook"));
    }
    // A report's name: inside <report>, or (xandikos) the supported-report's own child.
    if ((parent == SupportedReport && e != Report) || parent == Report) {
        if (props_.reports.size() < 64) props_.reports << x_.name().toString();
    }
    path_.push_back(e);
    switch (e) {
        case Response:
            response_ = {};
            break;
        case Propstat:
            props_ = {};
            propstatStatus_ = 0;
            principalDone_ = homeDone_ = false;
            break;
        case Href:
            if ((parent == Principal && principalDone_) || (parent == Home && homeDone_)) break;
            [[fallthrough]];
        case Status:
        case SyncToken:
        case GetEtag:
        case ContentType:
        case AddressData:
        case DisplayName:
            captureDepth_ = depth;
            capture_ = e;
            text_.clear();
            data_.clear();
            break;
        default:
            break;
    }
    return true;
}

bool MultistatusReader::characters(QStringView text) {
    if (captureDepth_ == 0) return true;
    if (capture_ == AddressData) {
        if (props_.cardTooLarge) return true;
        data_ += text.toUtf8();
        if (data_.size() > limits_.cardBytes) {
            props_.cardTooLarge = true;
            data_.clear();
        }
        return true;
    }
    text_ += text;
    if (text_.size() > limits_.fieldBytes)
        return fail(QStringLiteral("un campo de la respuesta pasa de %1")
                        .arg(bytesText(limits_.fieldBytes)));
    return true;
}

void MultistatusReader::end() {
    const int depth = static_cast<int>(path_.size());
    if (depth == 0) return;
    if (captureDepth_ == depth) {
        captureDepth_ = 0;
        const Elem parent = depth >= 2 ? path_[depth - 2] : Other;
        const QString value = text_.trimmed();
        switch (capture_) {
            case Href:
                if (parent == Response) response_.href = value;
                if (parent == Principal) props_.principal = value, principalDone_ = true;
                if (parent == Home) props_.home = value, homeDone_ = true;
                break;
            case Status:
                (parent == Response ? response_.status : propstatStatus_) = statusOf(value);
                break;
            case SyncToken:
                (parent == Multistatus ? syncToken_ : props_.syncToken) = value;
                break;
            case GetEtag:
                props_.etag = value;
                break;
            case ContentType:
                props_.contentType = value;
                break;
            case DisplayName:
                props_.displayName = value;
                break;
            case AddressData:
                if (!props_.cardTooLarge) props_.addressData = std::move(data_);
                data_.clear();
                break;
            default:
                break;
        }
        text_.clear();
    }
    const Elem e = path_.back();
    path_.pop_back();
    if (e == Propstat) {
        // Properties the server does not have come in a 404 propstat.
        if (propstatStatus_ / 100 != 2) return;
        DavResponse& r = response_;
        if (!props_.etag.isEmpty()) r.etag = props_.etag;
        if (!props_.contentType.isEmpty()) r.contentType = props_.contentType;
        if (!props_.syncToken.isEmpty()) r.syncToken = props_.syncToken;
        if (!props_.displayName.isEmpty()) r.displayName = props_.displayName;
        if (!props_.principal.isEmpty()) r.principal = props_.principal;
        if (!props_.home.isEmpty()) r.home = props_.home;
        if (props_.addressData) r.addressData = std::move(props_.addressData);
        r.cardTooLarge = r.cardTooLarge || props_.cardTooLarge;
        r.collection = r.collection || props_.collection;
        r.addressBook = r.addressBook || props_.addressBook;
        r.reports += props_.reports;
    } else if (e == Response) {
        if (!onResponse_(response_)) fail(stopReason);
        response_ = {};
    }
}

}  // namespace orv::sync::detail
