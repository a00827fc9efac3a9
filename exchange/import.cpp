#include "exchange/import.h"

#include <filesystem>
#include <functional>
#include <unordered_map>
#include <utility>

#include "exchange/csv.h"
#include "exchange/directory.h"
#include "exchange/properties.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/ascii.h"
#include "store/collation.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/schema.h"
#include "store/sql.h"

namespace orv::exchange {

std::optional<Format> formatFromName(std::string_view name) {
    if (ascii::iequals(name, "csv")) return Format::Csv;
    if (ascii::iequals(name, "vcard") || ascii::iequals(name, "vcf")) return Format::VCard;
    if (ascii::iequals(name, "ldif") || ascii::iequals(name, "ldi")) return Format::Ldif;
    if (ascii::iequals(name, "abook")) return Format::Abook;
    return std::nullopt;
}

std::optional<Format> formatFromPath(const std::string& path) {
    const std::filesystem::path p(path);
    if (ascii::iequals(p.filename().string(), "addressbook")) return Format::Abook;
    std::string ext = p.extension().string();
    if (ext.empty()) return std::nullopt;
    return formatFromName(std::string_view(ext).substr(1));
}

std::optional<Format> formatFromText(std::string_view bytes) {
    auto text = decodeText(bytes.substr(0, 4096));
    if (!text) return std::nullopt;
    std::string_view t = trimmed(*text);
    while (!t.empty() && (t.front() == '\n' || t.front() == '\r')) t = trimmed(t.substr(1));
    const std::string_view first = t.substr(0, t.find_first_of("\r\n"));
    if (ascii::iequals(trimmed(first), "BEGIN:VCARD")) return Format::VCard;
    if (first.substr(0, 3) == "dn:" || ascii::iequals(first, "version: 1")) return Format::Ldif;
    if (first.find("abook addressbook file") != std::string_view::npos || first == "[format]")
        return Format::Abook;
    return std::nullopt;
}

Reading readContacts(std::string_view bytes, Format format, const ProgressFn& progress) {
    Reading r;
    // vCard and LDIF say their own character sets; only UTF-16 needs undoing,
    // and the rest is read in place (a file of photos is not copied again).
    std::optional<std::string> text;
    const bool decode = format == Format::Csv || format == Format::Abook ||
                        bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF";
    if (decode) text = decodeText(bytes);
    if (decode && !text) {
        r.problems.push_back({1, "texto UTF-16 cortado o mal formado"});
        return r;
    }
    using Reader = void (*)(std::string_view, Reading&, const ProgressFn&);
    static constexpr Reader kReaders[] = {readCsvContacts, readVCards, readLdif, readAbook};
    kReaders[static_cast<std::size_t>(format)](decode ? std::string_view(*text) : bytes, r,
                                               progress);
    return r;
}

std::string lookalikeKey(const Contact& c) {
    std::string key;
    std::vector<collation::Weight> w;
    for (std::size_t col : {kNombre, kApellido}) {
        if (c[col]) {
            // Blanks count as one, so "José  Luis" looks like "José Luis".
            std::string text;
            for (char ch : *c[col])
                if (ch != ' ' || text.empty() || text.back() != ' ') text += ch;
            w.clear();
            collation::weights(text, w);
            key.append(reinterpret_cast<const char*>(w.data()),
                       w.size() * sizeof(collation::Weight));
        }
        key += '\x01';
    }
    return key;
}

namespace {

// Every column tagged, so that a null never equals an empty text.
std::string rowKey(const Contact& c) {
    std::string key;
    for (std::size_t col = kNombre; col < kColumnCount; ++col) {
        key += c[col] ? '\x02' + std::to_string(c[col]->size()) + ':' + *c[col] : "\x01";
    }
    return key;
}

bool named(const Contact& c) {
    return (c[kNombre] && !c[kNombre]->empty()) || (c[kApellido] && !c[kApellido]->empty());
}

// The book as it was before the import, asked for a contact equal to one
// (every field) or looking like one (the same name, the surname with case and
// accents aside). A few contacts seek the name index each; when the import is
// large beside the book, the book is read once instead, which then costs no
// more than the import itself.
class BookMatcher {
  public:
    BookMatcher(sqlite3* db, std::size_t importing)
        : same_(db, select() + " WHERE " + schema::quoted(schema::kColumns[kNombre]) +
                        " IS ?1 AND " + schema::quoted(schema::kCode) + " <= ?2"),
          byCode_(db, select() + " WHERE " + schema::quoted(schema::kCode) + " = ?1") {
        sql::Statement last(db, "SELECT max(" + schema::quoted(schema::kCode) + ") FROM " +
                                    std::string(schema::kTable));
        // Only rows that were there before: two equal contacts of one file
        // are two contacts (a book with two equal rows restores as it was).
        std::int64_t before = last.step() ? last.int64(0) : 0;
        same_.bind(2, before);
        whole_ = importing * 8 >= static_cast<std::uint64_t>(before);
        if (!whole_) return;
        sql::Statement all(db, select() + " WHERE " + schema::quoted(schema::kCode) + " <= ?1");
        all.bind(1, before);
        while (all.step()) {
            const Contact row = read(all);
            const std::int64_t code = all.int64(0);
            rows_.emplace(hash_(rowKey(row)), code);
            if (named(row))
                looks_.emplace(row[kNombre].value_or("\x01") + '\0' + lookalikeKey(row), code);
        }
    }

    // The code of a row equal to c, else 0; `alike` the code of one that looks like it.
    std::int64_t find(const Contact& c, std::int64_t& alike) {
        alike = 0;
        if (whole_) {
            auto [from, to] = rows_.equal_range(hash_(rowKey(c)));
            for (auto i = from; i != to; ++i) {
                byCode_.bind(1, i->second);
                const bool equal = byCode_.step() && same(read(byCode_), c);
                byCode_.reset();
                if (equal) return i->second;
            }
            if (!named(c)) return 0;
            auto look = looks_.find(c[kNombre].value_or("\x01") + '\0' + lookalikeKey(c));
            if (look != looks_.end()) alike = look->second;
            return 0;
        }
        std::optional<std::string> key;
        same_.bind(1, c[kNombre]);
        std::int64_t equal = 0;
        while (same_.step()) {
            const Contact row = read(same_);
            if (same(row, c)) {
                equal = same_.int64(0);
                break;
            }
            if (!key) key = lookalikeKey(c);
            if (named(c) && !alike && lookalikeKey(row) == *key) alike = same_.int64(0);
        }
        same_.reset();
        if (equal) alike = 0;
        return equal;
    }

  private:
    static std::string select() {
        return "SELECT " + schema::columnList() + " FROM " + std::string(schema::kTable);
    }
    static Contact read(const sql::Statement& st) {
        Contact row;
        for (std::size_t col = 0; col < kColumnCount; ++col)
            row[col] = st.value(static_cast<int>(col));
        return row;
    }
    static bool same(const Contact& a, const Contact& b) {
        for (std::size_t col = kNombre; col < kColumnCount; ++col)
            if (a[col] != b[col]) return false;
        return true;
    }

    sql::Statement same_, byCode_;
    bool whole_ = false;
    std::hash<std::string> hash_;
    std::unordered_multimap<std::size_t, std::int64_t> rows_;
    std::unordered_map<std::string, std::int64_t> looks_;
};

}  // namespace

ImportResult importContacts(sqlite3* db, const std::vector<Located>& contacts,
                            const ImportOptions& options) {
    ImportResult result;
    std::optional<sql::WriteTransaction> tx;
    std::optional<sql::ReadTransaction> snapshot;
    if (options.dryRun) {
        snapshot.emplace(db);
    } else {
        if (contacts.size() > history::kCopyAbove) result.copy = history::keepCopy(db);
        tx.emplace(db);
        tx->markSource(history::kImport);
    }

    BookMatcher book(db, contacts.size());
    KeptReader kept(db);
    std::optional<ContactInserter> ins;
    if (tx) ins.emplace(db);
    for (const Located& item : contacts) {
        std::int64_t alike = 0;
        std::int64_t equal = book.find(item.contact, alike);
        // Equal columns with another photo or other kept lines is another card;
        // a record that brings no card (a CSV of our own export) is a repeat.
        if (equal && !item.kept.empty() && kept.of(equal) != item.kept)
            alike = std::exchange(equal, 0);
        if (equal) {
            result.duplicates.push_back({&item, equal});
            if (!options.keepDuplicates) continue;
        } else if (alike) {
            result.lookalikes.push_back({&item, alike});
        }
        result.listed.push_back(&item);
        ++result.imported;
        if (!ins) continue;
        ins->insert(item.contact);
        if (!item.kept.empty()) keepProperties(db, sqlite3_last_insert_rowid(db), item.kept);
    }
    if (tx) {
        keys::refresh(db);  // the new rows' sort keys, in the same transaction
        tx->commit();
    }
    return result;
}

}  // namespace orv::exchange
