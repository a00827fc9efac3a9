#include "exchange/import.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "exchange/csv.h"
#include "exchange/directory.h"
#include "exchange/parsers.h"
#include "exchange/properties.h"
#include "exchange/stream.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/ascii.h"
#include "store/backup.h"
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

namespace {

bool decodesAll(Format format) {
    return format == Format::Csv || format == Format::Abook;
}

LineEnds endsFor(Format format, const Sniffed& s) {
    if (format == Format::Csv) return LineEnds::Any;
    // A card file with no LF at all ends its lines in CR.
    if (format == Format::VCard && !s.anyLineFeed) return LineEnds::Cr;
    return LineEnds::Lf;
}

std::unique_ptr<LineParser> parserFor(Format format, Reading& out, CsvSurvey& survey,
                                      CardResult* first) {
    switch (format) {
        case Format::Csv:
            return csvParser(out, survey);
        case Format::VCard:
            return vcardParser(out, first);
        case Format::Ldif:
            return ldifParser(out);
        case Format::Abook:
            break;
    }
    return abookParser(out);
}

void drive(LineReader& lines, LineParser& parser, const ProgressFn& progress) {
    LineReader::Line l;
    std::size_t n = 0;
    while (lines.next(l)) {
        parser.line(l);
        if (progress && (++n & 1023) == 0) progress(lines.offset());
    }
    parser.finish();
    if (progress) progress(lines.offset());
}

constexpr const char* kBrokenUtf16 = "texto UTF-16 cortado o mal formado";

}  // namespace

std::string lineTooLong(long number) {
    return "la línea " + std::to_string(number) + " pasa de " + mib(kMaxLine) +
           ", el límite de una línea; no se lee";
}

std::string recordTooLarge(const char* what) {
    return std::string("pasa de ") + mib(kMaxRecord) + ", el límite de " + what + "; no se lee";
}

void readText(std::string_view bytes, Format format, Reading& out, CardResult* first,
              const ProgressFn& progress) {
    const Sniffed how = sniff(bytes, decodesAll(format));
    if (how.broken) {
        out.addProblem({1, kBrokenUtf16});
        return;
    }
    // vCard and LDIF say their own character sets; only UTF-16 needs undoing,
    // and the rest is read in place.
    std::string decoded;
    std::string_view text = bytes;
    if (how.encoding != Encoding::Raw && how.encoding != Encoding::Utf8) {
        decoded = decodeText(bytes).value_or(std::string());
        text = decoded;
    }
    CsvSurvey survey;
    if (format == Format::Csv) {
        Reading scratch;
        scratch.sink = [](Located&&) {};
        scratch.problemLimit = 0;
        LineReader lines(text, endsFor(format, how));
        drive(lines, *csvParser(scratch, survey), {});
    }
    LineReader lines(text, endsFor(format, how));
    drive(lines, *parserFor(format, out, survey, first), progress);
}

Reading readContacts(std::string_view bytes, Format format, const ProgressFn& progress) {
    Reading r;
    readText(bytes, format, r, nullptr, progress);
    return r;
}

struct FileReading::State {
    ByteSource& source;
    Format format;
    Sniffed how;
    CsvSurvey survey;
    std::uint64_t size = 0, hash = 0;
    bool checked = false;
};

FileReading::FileReading(ByteSource& source, Format format)
    : s_(new State{source, format, {}, {}, 0, 0, false}) {}

FileReading::~FileReading() = default;

void FileReading::check(Reading& out, const ProgressFn& progress) {
    s_->how = sniff(s_->source, decodesAll(s_->format));
    s_->size = s_->how.size;
    s_->hash = s_->how.hash;
    s_->checked = true;
    if (s_->how.broken) {
        out.addProblem({1, kBrokenUtf16});
        return;
    }
    if (!out.sink) out.sink = [](Located&&) {};
    LineReader lines(s_->source, s_->how, endsFor(s_->format, s_->how));
    drive(lines, *parserFor(s_->format, out, s_->survey, nullptr), progress);
    if (s_->source.bytesRead() != s_->size || s_->source.hash() != s_->hash) s_->hash = ~s_->hash;
}

bool FileReading::read(Reading& out, const ProgressFn& progress) {
    if (!s_->checked) check(*std::make_unique<Reading>());
    if (s_->how.broken) return true;
    LineReader lines(s_->source, s_->how, endsFor(s_->format, s_->how));
    drive(lines, *parserFor(s_->format, out, s_->survey, nullptr), progress);
    return s_->source.bytesRead() == s_->size && s_->source.hash() == s_->hash;
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

// 64 bits of a text, the same on every machine and in every release: the
// look-up's entries are kept in the book.
std::int64_t hash64(std::string_view s) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return static_cast<std::int64_t>(h ^ (h >> 31));
}

// The high bits are the name's, so that a name's contacts lie together in
// the look-up's indexes as they do in the name index: an import of many
// contacts of few names then writes few of its pages, not one per contact.
std::int64_t clustered(const Contact& c, std::int64_t key) {
    constexpr std::uint64_t kLow = (std::uint64_t(1) << 40) - 1;
    const std::uint64_t name = static_cast<std::uint64_t>(hash64(c[kNombre].value_or("\x01")));
    return static_cast<std::int64_t>((name & ~kLow) | (static_cast<std::uint64_t>(key) & kLow));
}

std::int64_t equalKey(const Contact& c) {
    return clustered(c, hash64(rowKey(c)));
}
std::optional<std::int64_t> alikeKey(const Contact& c) {
    if (!named(c)) return std::nullopt;
    return clustered(c, hash64(c[kNombre].value_or("\x01") + '\0' + lookalikeKey(c)));
}

// The look-up of what an import compares, kept in the book beside
// Registros: for each contact, a hash of all its fields (Igual) and of its
// name and folded surname (Parecido), each indexed, so that the contacts
// that may equal or look like a new one are found by one seek, however many
// share its name. It is kept up to date from the history: the contacts
// changed by anyone since the look-up was last brought up to date are the
// codes of the history's rows since then (OrvMeta "parecidos" names the
// last one, with its moment). A hash only points: every candidate is
// compared field by field with the row itself.
constexpr const char* kLookupSql =
    "CREATE TABLE IF NOT EXISTS OrvParecidos (Codigo INTEGER PRIMARY KEY, Igual INTEGER, "
    "Parecido INTEGER);"
    "CREATE INDEX IF NOT EXISTS OrvParecidosIgual ON OrvParecidos (Igual);"
    "CREATE INDEX IF NOT EXISTS OrvParecidosParecido ON OrvParecidos (Parecido);"
    "CREATE TABLE IF NOT EXISTS OrvMeta (Nombre TEXT PRIMARY KEY, Valor TEXT);";
constexpr const char* kLookupForm = "2";

bool hasTable(sqlite3* db, const char* name) {
    sql::Statement s(db, "SELECT 1 FROM main.sqlite_schema WHERE type = 'table' AND name = ?1");
    s.bind(1, name);
    return s.step();
}

std::string select() {
    return "SELECT " + schema::columnList() + " FROM main." + std::string(schema::kTable);
}

Contact readRow(const sql::Statement& st) {
    Contact row;
    for (std::size_t col = 0; col < kColumnCount; ++col) row[col] = st.value(static_cast<int>(col));
    return row;
}

bool same(const Contact& a, const Contact& b) {
    for (std::size_t col = kNombre; col < kColumnCount; ++col)
        if (a[col] != b[col]) return false;
    return true;
}

// The history's last row and its moment, as the look-up's mark names them.
struct Mark {
    std::int64_t id = 0, moment = 0;
};
Mark historyEnd(sqlite3* db) {
    if (!hasTable(db, "OrvHistoria")) return {};
    sql::Statement s(db, "SELECT Id, Momento FROM main.OrvHistoria ORDER BY Id DESC LIMIT 1");
    return s.step() ? Mark{s.int64(0), s.int64(1)} : Mark{};
}

std::string markText(sqlite3* db) {
    const Mark m = historyEnd(db);
    return std::string(kLookupForm) + " " + collation::version() + " " + std::to_string(m.id) +
           " " + std::to_string(m.moment) + " " + std::to_string(history::nowMs());
}

// Where the look-up stands: nullopt when it must be made anew (missing, of
// another form or collation, its mark gone from the history, or older than
// the history keeps); else the history's Id it reflects.
std::optional<std::int64_t> lookupMark(sqlite3* db) {
    if (!hasTable(db, "OrvParecidos") || !hasTable(db, "OrvMeta") || !hasTable(db, "OrvHistoria"))
        return std::nullopt;
    sql::Statement m(db, "SELECT Valor FROM main.OrvMeta WHERE Nombre = 'parecidos'");
    if (!m.step()) return std::nullopt;
    char form[16] = {}, version[128] = {};
    long long id = 0, moment = 0, made = 0;
    const std::string text(m.text(0));
    if (std::sscanf(text.c_str(), "%15s %127s %lld %lld %lld", form, version, &id, &moment,
                    &made) != 5 ||
        std::string(form) != kLookupForm || std::string(version) != collation::version() ||
        made < history::nowMs() - history::kKeptMs + 24LL * 3600 * 1000)
        return std::nullopt;
    if (id > 0) {
        sql::Statement at(db, "SELECT Momento FROM main.OrvHistoria WHERE Id = ?1");
        at.bind(1, static_cast<std::int64_t>(id));
        if (!at.step() || at.int64(0) != moment) return std::nullopt;
    }
    return id;
}

void writeEntry(sqlite3* db, sql::Statement& put, std::int64_t code, const Contact& c) {
    (void)db;
    put.bind(1, code);
    put.bind(2, equalKey(c));
    if (auto a = alikeKey(c))
        put.bind(3, *a);
    else
        put.bind(3, Value());
    put.step();
    put.reset();
}

}  // namespace

void refreshLookup(sqlite3* db) {
    const std::optional<std::int64_t> mark = lookupMark(db);
    sql::exec(db, kLookupSql);
    sql::Statement put(db,
                       "INSERT OR REPLACE INTO main.OrvParecidos (Codigo, Igual, Parecido) VALUES "
                       "(?1, ?2, ?3)");
    if (!mark) {
        sql::exec(db, "DELETE FROM main.OrvParecidos");
        sql::Statement all(db, select());
        while (all.step()) writeEntry(db, put, all.int64(0), readRow(all));
    } else {
        sql::Statement changed(db,
                               "SELECT DISTINCT Codigo FROM main.OrvHistoria WHERE Id > ?1 AND "
                               "Codigo IS NOT NULL");
        changed.bind(1, *mark);
        sql::Statement row(db, select() + " WHERE Codigo = ?1");
        sql::Statement drop(db, "DELETE FROM main.OrvParecidos WHERE Codigo = ?1");
        while (changed.step()) {
            const std::int64_t code = changed.int64(0);
            row.bind(1, code);
            if (row.step())
                writeEntry(db, put, code, readRow(row));
            else {
                drop.bind(1, code);
                drop.step();
                drop.reset();
            }
            row.reset();
        }
    }
    sql::Statement meta(db,
                        "INSERT OR REPLACE INTO main.OrvMeta (Nombre, Valor) VALUES "
                        "('parecidos', ?1)");
    meta.bind(1, markText(db));
    meta.step();
}

namespace {

// The book as it was before the import, asked for a contact equal to one
// (every field) or looking like one (the same name, the surname with case
// and accents aside): through the look-up, brought up to date first. A dry
// run, which writes nothing, keeps what changed since in memory; with no
// look-up to use it seeks the name index and compares every namesake.
class BookMatcher {
  public:
    BookMatcher(sqlite3* db, bool write)
        : db_(db), byCode_(db, select() + " WHERE " + schema::quoted(schema::kCode) + " = ?1") {
        sql::Statement last(db, "SELECT max(" + schema::quoted(schema::kCode) + ") FROM main." +
                                    std::string(schema::kTable));
        // Only rows that were there before: two equal contacts of one file
        // are two contacts (a book with two equal rows restores as it was).
        before_ = last.step() ? last.int64(0) : 0;
        if (write) {
            refreshLookup(db);
            indexed_ = true;
        } else if (auto mark = lookupMark(db)) {
            indexed_ = true;
            sql::Statement changed(db,
                                   "SELECT DISTINCT Codigo FROM main.OrvHistoria WHERE Id > ?1 "
                                   "AND Codigo IS NOT NULL");
            changed.bind(1, *mark);
            while (changed.step()) {
                const std::int64_t code = changed.int64(0);
                stale_.insert(code);
                byCode_.bind(1, code);
                if (byCode_.step()) {
                    const Contact row = readRow(byCode_);
                    equalOver_.emplace(equalKey(row), code);
                    if (auto a = alikeKey(row)) alikeOver_.emplace(*a, code);
                }
                byCode_.reset();
            }
        }
        if (indexed_) {
            equal_.emplace(db,
                           "SELECT Codigo FROM main.OrvParecidos WHERE Igual = ?1 AND Codigo "
                           "<= ?2 ORDER BY Codigo");
            alike_.emplace(db,
                           "SELECT Codigo FROM main.OrvParecidos WHERE Parecido = ?1 AND "
                           "Codigo <= ?2 ORDER BY Codigo");
            put_.emplace(db,
                         "INSERT OR REPLACE INTO main.OrvParecidos (Codigo, Igual, Parecido) "
                         "VALUES (?1, ?2, ?3)");
        } else {
            namesakes_.emplace(db, select() + " WHERE " +
                                       schema::quoted(schema::kColumns[kNombre]) + " IS ?1 AND " +
                                       schema::quoted(schema::kCode) + " <= ?2");
            namesakes_->bind(2, before_);
        }
    }

    // The code of a row equal to c, else 0; `alike` the code of one that looks like it.
    std::int64_t find(const Contact& c, std::int64_t& alike) {
        alike = 0;
        if (!indexed_) return scan(c, alike);
        for (std::int64_t code : candidates(*equal_, equalOver_, equalKey(c)))
            if (rowIs(code, [&](const Contact& row) { return same(row, c); })) return code;
        if (const auto key = alikeKey(c)) {
            const std::string folded = lookalikeKey(c);
            for (std::int64_t code : candidates(*alike_, alikeOver_, *key))
                if (rowIs(code, [&](const Contact& row) {
                        return row[kNombre] == c[kNombre] && named(row) &&
                               lookalikeKey(row) == folded;
                    })) {
                    alike = code;
                    break;
                }
        }
        return 0;
    }

    // A contact the import wrote: later imports find it.
    void added(std::int64_t code, const Contact& c) {
        if (put_) writeEntry(db_, *put_, code, c);
    }

    // The mark, once the import's own rows are in the history.
    void finish() {
        if (!put_) return;
        sql::Statement meta(db_,
                            "INSERT OR REPLACE INTO main.OrvMeta (Nombre, Valor) VALUES "
                            "('parecidos', ?1)");
        meta.bind(1, markText(db_));
        meta.step();
    }

  private:
    std::vector<std::int64_t> candidates(
        sql::Statement& st, const std::unordered_multimap<std::int64_t, std::int64_t>& over,
        std::int64_t key) {
        std::vector<std::int64_t> out;
        st.bind(1, key);
        st.bind(2, before_);
        while (st.step())
            if (!stale_.count(st.int64(0))) out.push_back(st.int64(0));
        st.reset();
        if (!over.empty()) {
            auto [from, to] = over.equal_range(key);
            for (auto i = from; i != to; ++i)
                if (i->second <= before_) out.push_back(i->second);
            std::sort(out.begin(), out.end());
        }
        return out;
    }

    template <typename Test>
    bool rowIs(std::int64_t code, Test test) {
        byCode_.bind(1, code);
        const bool yes = byCode_.step() && test(readRow(byCode_));
        byCode_.reset();
        return yes;
    }

    std::int64_t scan(const Contact& c, std::int64_t& alike) {
        std::optional<std::string> key;
        namesakes_->bind(1, c[kNombre]);
        std::int64_t equal = 0;
        while (namesakes_->step()) {
            const Contact row = readRow(*namesakes_);
            if (same(row, c)) {
                equal = namesakes_->int64(0);
                break;
            }
            if (!key) key = lookalikeKey(c);
            if (named(c) && !alike && lookalikeKey(row) == *key) alike = namesakes_->int64(0);
        }
        namesakes_->reset();
        if (equal) alike = 0;
        return equal;
    }

    sqlite3* db_;
    sql::Statement byCode_;
    std::int64_t before_ = 0;
    bool indexed_ = false;
    std::optional<sql::Statement> equal_, alike_, put_, namesakes_;
    std::unordered_set<std::int64_t> stale_;
    std::unordered_multimap<std::int64_t, std::int64_t> equalOver_, alikeOver_;
};

}  // namespace

struct Importer::State {
    sqlite3* db;
    ImportOptions options;
    std::string copy;
    std::optional<sql::LargeCache> cache;
    std::optional<sql::WriteTransaction> tx;
    std::optional<sql::ReadTransaction> snapshot;
    std::optional<BookMatcher> book;
    std::optional<KeptReader> kept;
    std::optional<ContactInserter> ins;
};

Importer::Importer(sqlite3* db, const ImportOptions& options, std::size_t expected)
    : s_(new State{db, options, {}, {}, {}, {}, {}, {}, {}}) {
    if (options.dryRun) {
        s_->snapshot.emplace(db);
    } else {
        if (backup::wantsCopy(db, expected)) s_->copy = backup::keepCopy(db);
        s_->cache.emplace(db);
        s_->tx.emplace(db);
        history::label(*s_->tx, history::kImport);
        s_->ins.emplace(db);
    }
    s_->book.emplace(db, !options.dryRun);
    s_->kept.emplace(db);
}

Importer::~Importer() = default;

Importer::Outcome Importer::add(const Located& item) {
    Outcome o;
    std::int64_t alike = 0;
    std::int64_t equal = s_->book->find(item.contact, alike);
    // Equal columns with another photo or other kept lines is another card;
    // a record that brings no card (a CSV of our own export) is a repeat.
    if (equal && !item.kept.empty() && s_->kept->of(equal) != item.kept)
        alike = std::exchange(equal, 0);
    if (equal) {
        o.kind = Kind::Duplicate;
        o.code = equal;
        if (!s_->options.keepDuplicates) return o;
    } else if (alike) {
        o.kind = Kind::Lookalike;
        o.code = alike;
    }
    o.written = true;
    if (!s_->ins) return o;
    s_->ins->insert(item.contact);
    const std::int64_t code = sqlite3_last_insert_rowid(s_->db);
    if (!item.kept.empty()) keepProperties(s_->db, code, item.kept);
    s_->book->added(code, item.contact);
    return o;
}

void Importer::commit() {
    if (!s_->tx) return;
    keys::refresh(s_->db);  // the new rows' sort keys, in the same transaction
    s_->book->finish();
    s_->tx->commit();
}

const std::string& Importer::copy() const {
    return s_->copy;
}

ImportResult importContacts(sqlite3* db, const std::vector<Located>& contacts,
                            const ImportOptions& options) {
    ImportResult result;
    Importer importer(db, options, contacts.size());
    for (const Located& item : contacts) {
        const Importer::Outcome o = importer.add(item);
        if (o.kind == Importer::Kind::Duplicate) result.duplicates.push_back({&item, o.code});
        if (o.kind == Importer::Kind::Lookalike) result.lookalikes.push_back({&item, o.code});
        if (!o.written) continue;
        result.listed.push_back(&item);
        ++result.imported;
    }
    importer.commit();
    result.copy = importer.copy();
    return result;
}

}  // namespace orv::exchange
