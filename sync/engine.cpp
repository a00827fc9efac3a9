#include "sync/engine.h"

#include <QUuid>
#include <algorithm>
#include <map>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "exchange/properties.h"
#include "store/backup.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/schema.h"
#include "store/sql.h"
#include "sync/decide.h"
#include "sync/guard.h"
#include "sync/mapping.h"
#include "sync/state.h"

namespace orv::sync {

namespace {

constexpr int kAttempts = 3;  // a card that changes on the server meanwhile: fetch, merge, retry

Contact readRow(sql::Statement& st, std::int64_t codigo, bool& found) {
    st.reset();
    st.bind(1, codigo);
    Contact c;
    found = st.step();
    if (found)
        for (std::size_t col = 0; col < kColumnCount; ++col)
            c[col] = st.value(static_cast<int>(col));
    st.reset();
    return c;
}

// One sync, step by step; each step leaves what the next needs in the members.
class Sync {
  public:
    Sync(sqlite3* db, const SyncOptions& o)
        : db_(db),
          o_(o),
          client_(o.dav),
          // As the client has it: "…/contactos" and "…/contactos/" are one address book.
          url_(client_.options().collection.toString(QUrl::FullyEncoded).toStdString()),
          user_(o.dav.user.toStdString()) {}

    SyncReport run() {
        readBook();
        if (!askServer() || stopIfCancelled() || !fetchCards() || stopIfCancelled())
            return std::move(report_);
        linkOrAddFresh();
        for (Item& it : items_)
            if (!it.failed && !it.group) decide(it);
        if (!guard() || stopIfCancelled()) return std::move(report_);
        withKeptProperties();
        if (!o_.dryRun) {
            reserveUids();
            writeServer();
            takeOurToken();
        }
        const bool anything = tellWhatHappened();
        const bool keepToken = !newsLost_ && newToken_ != token_.value_or("");
        if (!o_.dryRun && (anything || keepToken)) writeBook();
        return std::move(report_);
    }

  private:
    void checkpoint(const char* point) const {
        if (o_.checkpoint) o_.checkpoint(point);
    }
    bool cancelRequested() const { return o_.cancelled && o_.cancelled(); }
    // Cancelled before anything was written: nothing changes on either side.
    bool stopIfCancelled() {
        if (!cancelRequested()) return false;
        report_.cancelled = true;
        report_.fatal = "sincronización cancelada; no se ha cambiado nada en ningún lado";
        return true;
    }
    DavProgress progress(const char* stage) const {
        return [this, stage](qint64 done, qint64 total) {
            if (o_.progress) o_.progress(stage, done, total);
        };
    }

    // A contact sent up for the first time goes as the card it was read
    // from, its photo and X- lines included (exchange/properties.h).
    void withKeptProperties() {
        exchange::KeptReader kept(db_);
        for (Item& it : items_) {
            if (it.failed || it.op != Item::Op::PutNew || !it.codigo) continue;
            const std::vector<std::string> lines = exchange::asVersion30(kept.of(it.codigo));
            if (lines.empty()) continue;
            it.card = cardFromContact(*it.book, it.uid, lines);
            settle(it);
        }
    }

    // The book as it is now, read from one state of it.
    void readBook() {
        sql::ReadTransaction read(db_);
        tables_ = hasSyncTables(db_);
        if (tables_) {
            links_ = readLinks(db_);
            oldUrl_ = readInfo(db_, info::kUrl);
            oldUser_ = readInfo(db_, info::kUser);
            token_ = readInfo(db_, info::kToken);
            if (auto groups = readInfo(db_, info::kGroups))
                for (const std::string& line : linesOf(*groups))
                    if (auto tab = line.find('\t'); tab != std::string::npos)
                        groups_.emplace(line.substr(0, tab), line.substr(tab + 1));
        }
        oldGroups_ = groups_;
        // An href is a path on the address book's origin, however a server
        // once spelt it.
        for (Link& l : links_)
            if (auto path = client_.memberPath(QString::fromStdString(l.href)))
                l.href = path->toStdString();
        ContactCursor cursor(db_);
        Contact c;
        while (cursor.next(c)) book_.emplace(std::stoll(*c[kCodigo]), c);
        moved_ = oldUrl_ && *oldUrl_ != url_;
    }

    static std::string fileName(const std::string& href) {
        std::string_view h = href;
        while (!h.empty() && h.back() == '/') h.remove_suffix(1);
        return std::string(h.substr(h.rfind('/') + 1));
    }

    // The address changed (another host name, port, scheme, a proxy): is it
    // still the address book last synced? Its cards tell, whatever the
    // address: most of those linked must be there. Nothing linked, nothing
    // can come back twice.
    bool sameAddressBook(const Changes& changes, DavError& error) {
        if (links_.empty()) return true;
        const QString oldPath = QUrl(QString::fromStdString(*oldUrl_)).path(QUrl::FullyDecoded);
        const QString newPath = client_.options().collection.path(QUrl::FullyDecoded);
        std::vector<CardInfo> listed;
        if (!changes.full) {
            // It knew our token at the same path: the same collection.
            if (oldPath == newPath) return true;
            DavResult<Listing> all = client_.list();
            if (!all.ok()) {
                error = all.error;
                return false;
            }
            listed = std::move(all.value.cards);
        } else {
            listed = changes.changed;
        }
        std::unordered_set<std::string> names;
        for (const CardInfo& c : listed) names.insert(fileName(c.href.toStdString()));
        std::size_t found = 0;
        for (const Link& l : links_) found += names.count(fileName(l.href));
        if (found == 0 || found * 2 < links_.size()) return false;
        if (oldPath != newPath) {
            // Reached under another path (a proxy's prefix): the cards are the
            // same files there.
            const std::string base =
                client_.options().collection.path(QUrl::FullyEncoded).toStdString();
            for (Link& l : links_) l.href = base + fileName(l.href);
            relinked_ = true;
        }
        return true;
    }

    // Nothing is written when the plan would empty either side, unless
    // allowed; a plan that changes many contacts here keeps a copy first.
    bool guard() {
        std::size_t writes = 0;
        const PlannedDeletions p = planned(items_, book_.size(), links_.size(), serverNew_, writes);
        if (auto why = refusal(p); why && !o_.allowDeletions) {
            report_.fatal = *why;
            report_.refused = p;
            return false;
        }
        if (!o_.dryRun && backup::wantsCopy(db_, writes)) report_.copy = backup::keepCopy(db_);
        return true;
    }

    // What changed on the server, and an item for every contact or card to
    // decide on.
    bool askServer() {
        DavResult<Changes> changes =
            client_.changesSince(QString::fromStdString(token_.value_or("")), progress("Listando"));
        if (!changes.ok()) {
            report_.fatal = changes.error.message.toStdString();
            return false;
        }
        if (moved_) {
            DavError error;
            const bool same = sameAddressBook(changes.value, error);
            if (error.failed()) {
                report_.fatal = error.message.toStdString();
                return false;
            }
            if (!same && !o_.otherAddressBook) {
                report_.otherBook = true;
                report_.fatal = "esta agenda se sincronizó con la libreta " + *oldUrl_ + " y " +
                                url_ +
                                " no tiene sus tarjetas: es otra libreta. No se sincroniza, para "
                                "no duplicar contactos ni deshacer borrados";
                return false;
            }
            if (!same) {
                // Links to another address book mean nothing here: a first sync.
                retarget_ = true;
                links_.clear();
                token_.reset();
                if (!changes.value.full) {
                    changes = client_.changesSince({}, progress("Listando"));
                    if (!changes.ok()) {
                        report_.fatal = changes.error.message.toStdString();
                        return false;
                    }
                }
            }
        }
        for (const QString& href : changes.value.refused)
            report_.leftOut.push_back(href.toStdString() +
                                      ": fuera de la libreta (otro servidor u otra carpeta), no se "
                                      "sigue ni se escribe");
        newToken_ = changes.value.syncToken.toStdString();
        std::unordered_map<std::string, std::string> listed;  // href -> ETag, new or changed
        for (const CardInfo& c : changes.value.changed)
            listed.emplace(c.href.toStdString(), c.etag.toStdString());
        std::unordered_set<std::string> removed;
        for (const QString& href : changes.value.removed) removed.insert(href.toStdString());
        // A listing that named cards elsewhere says nothing sure of what is gone.
        if (changes.value.full && changes.value.refused.isEmpty()) {
            bool anyKnown = false;
            for (const Link& l : links_) {
                if (!listed.count(l.href)) removed.insert(l.href);
                anyKnown = anyKnown || listed.count(l.href);
            }
            // Every card new and none of ours left: another address book at the same place.
            serverNew_ = !links_.empty() && !listed.empty() && !anyKnown;
        }

        auto fetchFor = [&](std::size_t index) {
            fetchedFor_[items_[index].href] = index;
            toFetch_ << QString::fromStdString(items_[index].href);
        };
        std::unordered_set<std::string> linkedHrefs;
        for (const Link& l : links_) {
            linkedCodes_.insert(l.codigo);
            linkedHrefs.insert(l.href);
            Item it;
            it.link = l;
            it.codigo = l.codigo;
            it.uid = l.uid;
            it.href = l.href;
            if (l.synced) it.base = deserialize(*l.synced);
            if (l.sent) it.sent = deserialize(*l.sent);
            if (auto b = book_.find(l.codigo); b != book_.end()) it.book = b->second;
            auto on = listed.find(l.href);
            const bool serverChanged =
                on != listed.end() && (on->second != l.etag || on->second.empty() || !l.synced);
            const bool gone = removed.count(l.href) > 0;
            const bool localChanged = !it.book || !l.synced || serialize(*it.book) != *l.synced;
            if (!serverChanged && !gone && !localChanged) continue;
            items_.push_back(std::move(it));
            Item& added = items_.back();
            if (gone) continue;  // decided without its card
            // A change here needs the card's text too, to keep the rest of it.
            if (serverChanged || (added.base && added.book))
                fetchFor(items_.size() - 1);
            else if (added.base)
                added.serverUnchanged = true;  // deleted here, unchanged there
        }
        for (const std::string& href : removed) groups_.erase(href);
        if (changes.value.full)
            std::erase_if(groups_, [&](const auto& g) { return !listed.count(g.first); });
        for (const auto& [href, etag] : listed) {
            if (linkedHrefs.count(href)) continue;
            if (auto g = groups_.find(href);
                g != groups_.end() && g->second == etag && !etag.empty())
                continue;  // a group card already named, unchanged
            groups_.erase(href);
            Item it;
            it.href = href;
            items_.push_back(std::move(it));
            fetchFor(items_.size() - 1);
        }
        return true;
    }

    // The changed cards, and those whose text an upload must keep.
    bool fetchCards() {
        if (toFetch_.isEmpty()) return true;
        DavResult<Fetched> got = client_.fetch(toFetch_, progress("Descargando"));
        if (!got.ok()) {
            report_.fatal = got.error.message.toStdString();
            return false;
        }
        std::unordered_set<std::size_t> answered;
        for (DavCard& card : got.value.cards) {
            auto at = fetchedFor_.find(card.href.toStdString());
            if (at == fetchedFor_.end()) continue;
            Item& it = items_[at->second];
            answered.insert(at->second);
            ServerCard s{card.vcard.toStdString(), card.etag.toStdString(), {}};
            if (!it.link && isGroupCard(s.text)) {
                it.group = true;
                groups_[it.href] = s.etag;
                report_.groups.push_back(cardName(s.text));
                continue;
            }
            try {
                s.contact = contactFromCard(s.text);
            } catch (const std::runtime_error& e) {
                it.failed = true;
                newsLost_ = true;
                report_.problems.push_back("no se puede leer la tarjeta " + it.href + ": " +
                                           e.what());
                continue;
            }
            if (!it.link) it.uid = cardUid(s.text);
            // Our own upload whose answer was lost: the base to merge from.
            if (it.sent && sameContact(s.contact, *it.sent)) it.base = s.contact;
            it.server = std::move(s);
        }
        for (const QString& href : got.value.missing)
            if (auto at = fetchedFor_.find(href.toStdString()); at != fetchedFor_.end())
                answered.insert(at->second);
        // Left out, and asked for again by the next sync (the token stays).
        auto leave = [&](const QStringList& hrefs, const std::string& why, bool problem) {
            for (const QString& href : hrefs) {
                auto at = fetchedFor_.find(href.toStdString());
                if (at == fetchedFor_.end()) continue;
                answered.insert(at->second);
                items_[at->second].failed = true;
                newsLost_ = true;
                (problem ? report_.problems : report_.leftOut).push_back(at->first + why);
            }
        };
        const DavLimits& limits = client_.options().limits;
        leave(got.value.tooLarge,
              ": la tarjeta pasa de " + bytesText(limits.cardBytes).toStdString() +
                  ", el límite de una tarjeta; se deja fuera",
              false);
        leave(got.value.deferred,
              ": queda para la próxima sincronización (esta ya ha traído " +
                  bytesText(limits.syncCardBytes).toStdString() + " de tarjetas, su límite)",
              true);
        for (const auto& [href, index] : fetchedFor_)
            if (!answered.count(index)) {
                items_[index].failed = true;
                newsLost_ = true;
                report_.problems.push_back("el servidor no ha enviado la tarjeta " + href);
            }
        return true;
    }

    // Contacts new in the book: linked to an equal card new on the server,
    // else uploaded with a UID of their own.
    void linkOrAddFresh() {
        std::unordered_multimap<std::string, std::int64_t> fresh;
        for (const auto& [code, c] : book_)
            if (!linkedCodes_.count(code)) fresh.emplace(serialize(c), code);
        for (Item& it : items_) {
            if (it.link || !it.server || it.failed || it.group) continue;
            if (auto m = fresh.find(serialize(it.server->contact)); m != fresh.end()) {
                it.codigo = m->second;
                it.book = book_[m->second];
                fresh.erase(m);
            }
            if (it.uid.empty()) it.uid = it.href;
        }
        std::vector<std::int64_t> freshCodes;
        for (const auto& [key, code] : fresh) freshCodes.push_back(code);
        std::sort(freshCodes.begin(), freshCodes.end());
        firstFresh_ = items_.size();
        for (std::int64_t code : freshCodes) {
            Item it;
            it.codigo = code;
            it.book = book_[code];
            it.uid = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
            it.href = client_.hrefForUid(QString::fromStdString(it.uid)).toStdString();
            items_.push_back(std::move(it));
        }
    }

    // The new cards' UIDs first: an upload that is cut off is found and
    // linked by the next sync, not sent a second time.
    void reserveUids() {
        if (!retarget_ && firstFresh_ == items_.size()) return;
        sql::WriteTransaction tx(db_);
        createSyncTables(db_);
        if (retarget_) {
            dropAllLinks(db_);
            writeInfo(db_, info::kUrl, url_);
            writeInfo(db_, info::kToken, std::nullopt);
        }
        for (std::size_t i = firstFresh_; i < items_.size(); ++i)
            writeLink(db_, {items_[i].codigo, items_[i].uid, items_[i].href, "", std::nullopt,
                            std::nullopt});
        tx.commit();
        tables_ = true;
        checkpoint("reserved");
    }

    // The server's side, each card on the condition that it did not change
    // meanwhile.
    void writeServer() {
        checkpoint("writing");
        std::size_t total = 0, done = 0;
        for (const Item& it : items_) total += !it.failed && it.op != Item::Op::None;
        std::string stopped;
        for (Item& it : items_) {
            if (it.failed || it.op == Item::Op::None) continue;
            if (stopped.empty() && cancelRequested()) {
                stopped = "cancelada";
                report_.cancelled = true;
                report_.problems.push_back(
                    "sincronización cancelada; lo que falta se sincroniza la próxima vez");
            }
            if (!stopped.empty()) {
                it.failed = true;
                continue;
            }
            const QString href = QString::fromStdString(it.href);
            for (int attempt = 0;; ++attempt) {
                DavError error;
                if (it.op == Item::Op::Delete) {
                    error = client_.remove(href, QString::fromStdString(it.etag));
                    if (error.kind == DavErrorKind::NotFound) error = {};
                } else {
                    DavResult<QString> put = client_.put(
                        href, QByteArray::fromStdString(it.card),
                        it.op == Item::Op::Put ? QString::fromStdString(it.etag) : QString());
                    error = put.error;
                    it.etag = put.value.toStdString();
                }
                if (!error.failed()) break;
                if (error.kind == DavErrorKind::PreconditionFailed && attempt + 1 < kAttempts) {
                    // Changed on the server meanwhile: decide again from its card.
                    DavResult<Fetched> again = client_.fetch({href});
                    if (again.ok()) {
                        it.server.reset();
                        it.serverUnchanged = false;
                        if (!again.value.cards.empty()) {
                            const DavCard& c = again.value.cards.front();
                            it.server = ServerCard{c.vcard.toStdString(), c.etag.toStdString(), {}};
                            try {
                                it.server->contact = contactFromCard(it.server->text);
                            } catch (const std::runtime_error& e) {
                                error.message = QString::fromStdString(e.what());
                                it.server.reset();
                                it.failed = true;
                            }
                        }
                        if (!it.failed) {
                            decide(it);
                            if (it.op == Item::Op::None) break;
                            continue;
                        }
                    } else {
                        error = again.error;
                    }
                }
                it.failed = true;
                it.unanswered = it.op != Item::Op::Delete && answerLost(error.kind);
                const Contact& who = it.result   ? *it.result
                                     : it.book   ? *it.book
                                     : it.base   ? *it.base
                                     : it.server ? it.server->contact
                                                 : Contact{};
                report_.problems.push_back(describe(who) + ": " + error.message.toStdString());
                if (stopsEverything(error.kind)) stopped = error.message.toStdString();
                break;
            }
            if (!it.failed) checkpoint("put");
            if (o_.progress)
                o_.progress("Subiendo", static_cast<qint64>(++done), static_cast<qint64>(total));
        }
        checkpoint("server-done");
        rememberUnanswered();
    }

    // What an upload without an answer sent, so that the next sync knows the
    // card if the server took it.
    void rememberUnanswered() {
        if (std::none_of(items_.begin(), items_.end(),
                         [](const Item& it) { return it.unanswered && it.result; }))
            return;
        sql::WriteTransaction tx(db_);
        createSyncTables(db_);
        for (const Item& it : items_)
            if (it.unanswered && it.result && it.codigo)
                writeSent(db_, it.codigo, serialize(*it.result));
        tx.commit();
    }

    // Our own writes move the server's token on: take the new one when
    // they are all that changed since, so the next sync has nothing to
    // look at.
    void takeOurToken() {
        std::unordered_map<std::string, std::string> ours;
        for (const Item& it : items_)
            if (!it.failed && it.op != Item::Op::None) ours[it.href] = it.etag;
        if (!ours.empty() && report_.problems.empty() && !newToken_.empty()) {
            DavResult<Changes> after = client_.changesSince(QString::fromStdString(newToken_));
            bool onlyOurs = after.ok() && !after.value.full;
            for (const CardInfo& c : after.value.changed) {
                auto at = ours.find(c.href.toStdString());
                onlyOurs = onlyOurs && at != ours.end() && !at->second.empty() &&
                           at->second == c.etag.toStdString();
            }
            for (const QString& href : after.value.removed)
                onlyOurs = onlyOurs && ours.count(href.toStdString());
            if (onlyOurs) newToken_ = after.value.syncToken.toStdString();
        }
    }

    void noteConflicts(const Contact& who, const std::vector<std::string>& fields) {
        if (fields.empty()) return;
        std::string list;
        for (const std::string& f : fields) list += (list.empty() ? "" : ", ") + f;
        report_.conflicts.push_back(describe(who) + ": " + list);
    }

    // The report; true when the book has something to record.
    bool tellWhatHappened() {
        bool anything =
            !tables_ || retarget_ || oldUrl_ != url_ || oldUser_ != user_ || groups_ != oldGroups_;
        for (const Item& it : items_) {
            if (it.failed || it.group) continue;
            anything = true;
            // A card listed as new and gone by the time it was fetched is no one.
            if (!it.result && !it.book && !it.base && !it.server) continue;
            const Contact& who = it.result ? *it.result
                                 : it.book ? *it.book
                                 : it.base ? *it.base
                                           : it.server->contact;
            const std::string name = describe(who);
            if (it.op == Item::Op::Put || it.op == Item::Op::PutNew) report_.up.push_back(name);
            if (it.op == Item::Op::Delete) report_.deletedThere.push_back(name);
            if (it.news) report_.down.push_back(name);
            if (it.bookWrite && !it.result) report_.deletedHere.push_back(name);
            noteConflicts(who, it.conflicts);
            if (!it.kept.empty()) report_.kept.push_back(name + ": " + it.kept);
        }
        return anything;
    }

    // The book's side in one transaction, with what the server now holds.
    void writeBook() {
        sql::WriteTransaction tx(db_);
        history::label(tx, history::kSync);
        createSyncTables(db_);
        writeInfo(db_, info::kUrl, url_);
        writeInfo(db_, info::kUser, user_);
        if (relinked_)
            for (const Link& l : links_) writeLink(db_, l);
        sql::Statement row(db_, "SELECT " + schema::columnList() + " FROM " +
                                    std::string(schema::kTable) + " WHERE Codigo = ?");
        std::string setList;
        for (std::size_t col = kNombre; col < kColumnCount; ++col)
            setList +=
                (setList.empty() ? "" : ", ") + schema::quoted(schema::kColumns[col]) + " = ?";
        sql::Statement update(
            db_, "UPDATE " + std::string(schema::kTable) + " SET " + setList + " WHERE Codigo = ?");
        sql::Statement remove(db_,
                              "DELETE FROM " + std::string(schema::kTable) + " WHERE Codigo = ?");
        ContactInserter insert(db_);
        auto write = [&](std::int64_t codigo, const Contact& c) {
            for (std::size_t col = kNombre; col < kColumnCount; ++col)
                update.bind(static_cast<int>(col), c[col]);
            update.bind(static_cast<int>(kColumnCount), codigo);
            update.step();
            update.reset();
        };
        std::string groups;
        for (const auto& [href, etag] : groups_) groups += href + "\t" + etag + "\n";
        writeInfo(db_, info::kGroups, groups.empty() ? std::nullopt : std::optional(groups));
        for (Item& it : items_) {
            if (it.failed || it.group) continue;
            std::int64_t codigo = it.codigo;
            bool present = false;
            Contact now;
            if (codigo) now = readRow(row, codigo, present);
            if (!present && it.book) {
                // Deleted here while the sync ran. Against news from the server
                // the contact stays, as such a delete before the sync would have
                // it, back under its own code; otherwise the next sync sends the
                // delete.
                if (it.result && it.news) {
                    Contact back = *it.result;
                    back[kCodigo] = std::to_string(codigo);
                    history::putBack(db_, back);
                    report_.kept.push_back(
                        describe(back) +
                        ": borrado en esta agenda y cambiado en el servidor: se conserva");
                    present = true;
                } else {
                    if (it.result)
                        writeLink(db_, {codigo, it.uid, it.href, it.etag, serialize(*it.result),
                                        std::nullopt});
                    else
                        dropLink(db_, codigo);
                    continue;
                }
            } else if (present && it.book && !sameContact(now, *it.book)) {
                // Changed here while the sync ran: that change is kept on top of
                // the result, field by field, and travels with the next sync.
                if (!it.result) {
                    dropLink(db_, codigo);
                    continue;
                }
                std::vector<std::string> fields;
                const Contact mine = merge(&*it.book, now, *it.result, fields);
                if (!sameContact(mine, now)) write(codigo, mine);
                noteConflicts(mine, fields);
            } else if (it.bookWrite && it.result && present && !it.book) {
                // Put back here while the sync ran (a restore): both kept.
                std::vector<std::string> fields;
                const Contact mine = merge(it.base ? &*it.base : nullptr, now, *it.result, fields);
                write(codigo, mine);
                noteConflicts(mine, fields);
            } else if (it.bookWrite && it.result && present) {
                write(codigo, *it.result);
            } else if (it.bookWrite && it.result) {
                insert.insert(*it.result);
                if (it.link && codigo) dropLink(db_, codigo);
                codigo = sqlite3_last_insert_rowid(db_);
            } else if (it.bookWrite && present) {
                remove.bind(1, codigo);
                remove.step();
                remove.reset();
            }
            // The contact keeps the card as the server now has it.
            if (it.result && codigo && (it.bookWrite || it.op != Item::Op::None)) {
                const std::string& card = !it.card.empty() ? it.card
                                          : it.server      ? it.server->text
                                                           : it.card;
                if (!card.empty()) keepCard(db_, codigo, card);
            }
            if (it.result)
                writeLink(db_,
                          {codigo, it.uid, it.href, it.etag, serialize(*it.result), std::nullopt});
            else if (codigo)
                dropLink(db_, codigo);
        }
        // A write that failed leaves its contact changed here against what
        // was last synced, so the next sync finds it without the old token;
        // keeping the old one would hide what the server deleted since (a
        // server lists no delete of a card it did not have at that token).
        // Only news from the server that did not arrive needs the old token.
        if (!newsLost_)
            writeInfo(db_, info::kToken,
                      newToken_.empty() ? std::nullopt : std::optional(newToken_));
        // What came down leaves the book keyed, as every writer does.
        keys::refresh(db_);
        checkpoint("before-commit");
        tx.commit();
    }

    sqlite3* db_;
    const SyncOptions& o_;
    CardDavClient client_;
    const std::string url_, user_;
    SyncReport report_;

    std::vector<Link> links_;
    std::optional<std::string> oldUrl_, oldUser_, token_;
    std::map<std::int64_t, Contact> book_;
    bool tables_ = false, retarget_ = false, moved_ = false, relinked_ = false;
    bool serverNew_ = false;
    std::string newToken_;
    bool newsLost_ = false;  // a card the server changed was not read: keep the old token
    std::map<std::string, std::string> groups_, oldGroups_;  // href -> ETag

    std::vector<Item> items_;
    std::unordered_map<std::string, std::size_t> fetchedFor_;  // href -> item
    QStringList toFetch_;
    std::unordered_set<std::int64_t> linkedCodes_;
    std::size_t firstFresh_ = 0;  // items from here on are contacts new in the book
};

}  // namespace

std::optional<SyncTarget> lastSyncTarget(sqlite3* db) {
    sql::ReadTransaction read(db);
    if (!hasSyncTables(db)) return std::nullopt;
    auto url = readInfo(db, info::kUrl), user = readInfo(db, info::kUser);
    if (!url) return std::nullopt;
    return SyncTarget{*url, user.value_or("")};
}

SyncReport syncBook(sqlite3* db, const SyncOptions& options) {
    return Sync(db, options).run();
}

}  // namespace orv::sync
