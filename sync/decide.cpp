#include "sync/decide.h"

#include "store/dates.h"
#include "store/schema.h"
#include "sync/mapping.h"

namespace orv::sync {

namespace {

std::string shown(std::size_t col, const Value& v) {
    if (!v || v->empty()) return "(vacío)";
    return col == kFecha ? displayFromIso(*v) : *v;
}

}  // namespace

Contact merge(const Contact* base, const Contact& mine, const Contact& theirs,
              std::vector<std::string>& conflicts) {
    Contact m = theirs;
    m[kCodigo] = mine[kCodigo];
    std::vector<std::string> lines;
    for (std::size_t col = kNombre; col < kColumnCount; ++col) {
        if (mine[col] == theirs[col]) continue;
        if (base && mine[col] == (*base)[col]) continue;
        if (base && theirs[col] == (*base)[col]) {
            m[col] = mine[col];
            continue;
        }
        const std::string name(schema::kColumns[col]);
        conflicts.push_back(name);
        lines.push_back("Conflicto, esta agenda: " + name + ": " + shown(col, mine[col]));
    }
    for (const std::string& line : lines) {
        // A merge done again (after an interrupted sync) adds no second copy.
        std::string& info = m[kMasInfo].emplace(m[kMasInfo].value_or(""));
        if (("\n" + info + "\n").find("\n" + line + "\n") != std::string::npos) continue;
        info += (info.empty() ? "" : "\n") + line;
    }
    return m;
}

void settle(Item& it) {
    Contact back = contactFromCard(it.card);
    back[kCodigo] = it.book->at(kCodigo);
    it.result = back;
    it.bookWrite = !sameContact(back, *it.book);
}

void decide(Item& it) {
    it.op = Item::Op::None;
    it.card.clear();
    it.bookWrite = false;
    it.news = false;
    it.conflicts.clear();
    it.kept.clear();
    const Contact* base = it.base ? &*it.base : nullptr;
    const Contact* book = it.book ? &*it.book : nullptr;
    const Contact* server =
        it.server ? &it.server->contact : (it.serverUnchanged && !book ? base : nullptr);
    it.etag = it.server ? it.server->etag : (it.link ? it.link->etag : std::string());

    if (!server && !book) {
        it.result.reset();
        return;
    }
    if (!server) {
        if (base && sameContact(*book, *base)) {
            it.result.reset();
            it.bookWrite = true;
            return;
        }
        if (base) it.kept = "borrado en el servidor y cambiado en esta agenda: se conserva";
        it.result = *book;
        it.op = Item::Op::PutNew;
        it.card = cardFromContact(*book, it.uid);
        settle(it);
        return;
    }
    if (!book) {
        // Our own upload (reserved, never confirmed), or unchanged since
        // the last sync: the delete goes to the server.
        if ((it.link && !base) || (base && sameContact(*server, *base))) {
            it.result.reset();
            it.op = Item::Op::Delete;
            return;
        }
        if (base) it.kept = "borrado en esta agenda y cambiado en el servidor: se conserva";
        it.result = *server;
        it.bookWrite = it.news = true;
        return;
    }
    it.result = merge(base, *book, *server, it.conflicts);
    it.bookWrite = it.news = !sameContact(*it.result, *book);
    if (!sameContact(*it.result, *server)) {
        it.op = Item::Op::Put;
        it.card = cardWith(it.server->text, *server, *it.result, it.uid);
        settle(it);
    }
}

PlannedDeletions planned(const std::vector<Item>& items, std::size_t bookContacts,
                         std::size_t serverContacts, bool serverNew, std::size_t& writes) {
    PlannedDeletions p;
    p.bookContacts = bookContacts;
    p.serverContacts = serverContacts;
    p.serverNew = serverNew;
    writes = 0;
    for (const Item& it : items) {
        if (it.failed || it.group) continue;
        p.here += it.bookWrite && !it.result && it.book;
        p.there += it.op == Item::Op::Delete;
        writes += it.bookWrite;
    }
    return p;
}

bool stopsEverything(DavErrorKind kind) {
    switch (kind) {
        case DavErrorKind::Authentication:
        case DavErrorKind::ServerDown:
        case DavErrorKind::Timeout:
        case DavErrorKind::Tls:
        case DavErrorKind::Network:
        case DavErrorKind::ServerError:
            return true;
        default:
            return false;
    }
}

bool answerLost(DavErrorKind kind) {
    return kind == DavErrorKind::Network || kind == DavErrorKind::Timeout ||
           kind == DavErrorKind::ServerError || kind == DavErrorKind::Protocol;
}

std::string describe(const Contact& c) {
    std::string s;
    for (std::size_t col : {kNombre, kApellido})
        if (c[col] && !c[col]->empty()) s += (s.empty() ? "" : " ") + *c[col];
    return s.empty() ? "(sin nombre)" : s;
}

}  // namespace orv::sync
