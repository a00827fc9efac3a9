#include "exchange/csv.h"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "exchange/csvheaders.h"
#include "exchange/import.h"
#include "exchange/parsers.h"
#include "exchange/text.h"
#include "store/ascii.h"
#include "store/dates.h"

namespace orv::exchange {

namespace {

using namespace csvdict;
using S = Slot;
using K = Kind;

// The header's columns: our own, a known entry with its group key, or another
// program's column we have no entry for (kept as a labelled line).
struct Column {
    std::optional<Col> own;
    const Entry* entry = nullptr;
    std::string group;  // "phone 1", "casa"...
    std::string header;
};

// "* Mobile" (Google marks the preferred one) -> "móvil", preferred.
std::string spanishLabel(std::string_view label, bool& preferred) {
    label = trimmed(label);
    if (!label.empty() && label.front() == '*') {
        preferred = true;
        label = trimmed(label.substr(1));
    }
    static const std::pair<std::string_view, std::string_view> kLabels[] = {
        {"mobile", "móvil"},
        {"cell", "móvil"},
        {"home", "casa"},
        {"work", "trabajo"},
        {"main", "principal"},
        {"other", "otro"},
        {"home fax", "fax de casa"},
        {"work fax", "fax del trabajo"},
        {"pager", "buscapersonas"},
        {"anniversary", "Aniversario"},
        {"birthday", "Cumpleaños"},
        {"homepage", "página personal"},
        {"blog", "blog"},
        {"profile", "perfil"}};
    const std::string f = folded(label);
    for (const auto& [en, es] : kLabels)
        if (f == en) return std::string(es);
    return std::string(label);
}

// Values Outlook writes in every row when there is nothing to say.
bool outlookDefault(std::string_view v) {
    for (std::string_view d : {"Normal", "False", "Unspecified", "Falso", "Sin especificar"})
        if (v == d) return true;
    return false;
}

// Splits Google's " ::: " lists (and abook's comma lists of e-mails).
std::vector<std::string> items(const std::string& v, bool commas) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t sep = v.find(" ::: ", start);
        std::size_t comma = commas ? v.find(',', start) : std::string::npos;
        std::size_t cut = std::min(sep, comma);
        std::string_view part = trimmed(std::string_view(v).substr(start, cut - start));
        if (!part.empty()) out.emplace_back(part);
        if (cut == std::string::npos) return out;
        start = cut + (cut == sep ? 5 : 1);
    }
}

struct Group {
    std::vector<std::string> values;
    std::string label, service;
    bool preferred = false;
    Address address;
};

// The groups of one kind in the order their first column came, found by key
// through an index (a header of many numbered columns stays linear).
class Groups {
  public:
    Group& operator[](const std::string& key) {
        auto [at, added] = index_.try_emplace(key, list_.size());
        if (added) list_.emplace_back(key, Group{});
        return list_[at->second].second;
    }
    auto begin() { return list_.begin(); }
    auto end() { return list_.end(); }

  private:
    std::vector<std::pair<std::string, Group>> list_;
    std::unordered_map<std::string, std::size_t> index_;
};

std::string padded(std::string_view digits, std::size_t width) {
    std::string out(trimmed(digits));
    while (out.size() < width) out.insert(out.begin(), '0');
    return out;
}

// One record of a header that is not all ours.
Card cardFromRecord(const std::vector<Column>& columns, std::vector<Value>& fields) {
    Card k;
    Groups groups[9];  // by Kind
    std::string year, month, day;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column& col = columns[i];
        if (!fields[i] || trimmed(*fields[i]).empty()) continue;
        std::string v(trimmed(*fields[i]));
        if (col.own) {
            switch (*col.own) {
                case kNombre:
                    k.given = v;
                    break;
                case kApellido:
                    k.family = v;
                    break;
                case kDomicilio:
                    groups[int(K::Address)][""].address.street = v;
                    break;
                case kLocalidad:
                    groups[int(K::Address)][""].address.town = v;
                    break;
                case kTelefono:
                    groups[int(K::Phone)][""].values.push_back(v);
                    break;
                case kEmail:
                    groups[int(K::Email)][""].values.push_back(v);
                    break;
                case kIcq:
                    k.icqs.push_back({v, "", false});
                    break;
                case kMasInfo:
                    k.notes.push_back(*fields[i]);
                    break;
                case kFecha:
                    k.birthdays.push_back(v);
                    break;
                default:
                    break;
            }
            continue;
        }
        if (!col.entry) {
            if (!outlookDefault(v)) k.others.emplace_back(col.header, v);
            continue;
        }
        const Entry& e = *col.entry;
        if (e.kind != K::None && e.slot != S::Ignore) {
            Group& g = groups[int(e.kind)][col.group];
            if (!e.label.empty()) g.label = e.label;
            g.preferred = g.preferred || e.preferred;
            Address& a = g.address;
            switch (e.slot) {
                case S::Label:
                    g.label = spanishLabel(v, g.preferred);
                    break;
                case S::Service:
                    g.service = v;
                    break;
                case S::Street:
                    a.street = v;
                    break;
                case S::Street2:
                case S::Street3:
                    a.extended += (a.extended.empty() ? "" : ", ") + v;
                    break;
                case S::PoBox:
                    a.poBox = v;
                    break;
                case S::Extended:
                    a.extended = v;
                    break;
                case S::Town:
                    a.town = v;
                    break;
                case S::Region:
                    a.region = v;
                    break;
                case S::Postcode:
                    a.postcode = v;
                    break;
                case S::Country:
                    a.country = v;
                    break;
                default:
                    for (std::string& item : items(v, e.kind == K::Email))
                        g.values.push_back(std::move(item));
            }
            continue;
        }
        switch (e.slot) {
            case S::Given:
                k.given = v;
                break;
            case S::Middle:
                k.middle = v;
                break;
            case S::Family:
                k.family = v;
                break;
            case S::Full:
                k.fullName = v;
                break;
            case S::Prefix:
                k.prefix = v;
                break;
            case S::Suffix:
                k.suffix = v;
                break;
            case S::Nickname:
                k.nickname = v;
                break;
            case S::Company:
                k.company = v;
                break;
            case S::Department:
                k.department = v;
                break;
            case S::Title:
                k.title = v;
                break;
            case S::Birthday:
                k.birthdays.push_back(v);
                break;
            case S::BirthYear:
                year = v;
                break;
            case S::BirthMonth:
                month = v;
                break;
            case S::BirthDay:
                day = v;
                break;
            case S::Anniversary:
                k.dates.push_back({v, "Aniversario", false});
                break;
            case S::Notes:
                k.notes.push_back(*fields[i]);
                break;
            case S::Categories:
                // Google's own groups ("* myContacts") are no one's category.
                // Outlook separates them with ";", Google with " ::: ".
                for (std::string& c : items(v, true)) {
                    if (c.front() == '*') continue;
                    for (std::size_t start = 0; start <= c.size();) {
                        const std::size_t semi = std::min(c.find(';', start), c.size());
                        const std::string_view part =
                            trimmed(std::string_view(c).substr(start, semi - start));
                        if (!part.empty()) k.categories.emplace_back(part);
                        start = semi + 1;
                    }
                }
                break;
            case S::Web:
                k.webs.push_back({v, "", false});
                break;
            case S::Im:
                k.ims.push_back({v, "", false});
                break;
            case S::Other:
                // Google's photo is the address of the picture: kept as a line.
                k.others.emplace_back(col.entry->label.empty() ? col.header : col.entry->label, v);
                break;
            default:
                break;
        }
    }
    if (!month.empty() && !day.empty())
        k.birthdays.push_back((year.empty() ? "--" : padded(year, 4) + "-") + padded(month, 2) +
                              "-" + padded(day, 2));
    for (auto& [key, g] : groups[int(K::Address)]) {
        g.address.label = g.label;
        g.address.preferred = g.preferred;
        k.addresses.push_back(g.address);
    }
    const auto take = [&](Kind kind, std::vector<Labelled>& into) {
        for (auto& [key, g] : groups[int(kind)])
            for (std::string& v : g.values) into.push_back({v, g.label, g.preferred});
    };
    take(K::Phone, k.phones);
    take(K::Email, k.emails);
    take(K::Web, k.webs);
    for (auto& [key, g] : groups[int(K::Im)])
        for (std::string& v : g.values) {
            if (folded(g.service) == "icq")
                k.icqs.push_back({v, "", g.preferred});
            else
                k.ims.push_back({v, g.service.empty() ? g.label : g.service, false});
        }
    for (auto& [key, g] : groups[int(K::Event)])
        for (std::string& v : g.values) {
            if (g.label == "Cumpleaños")
                k.birthdays.push_back(v);
            else
                k.dates.push_back({v, g.label.empty() ? "Fecha" : g.label, false});
        }
    for (Kind kind : {K::Relation, K::Custom})
        for (auto& [key, g] : groups[int(kind)])
            for (std::string& v : g.values)
                k.others.emplace_back(
                    g.label.empty() ? (kind == K::Relation ? "Relación" : "Dato") : g.label, v);
    return k;
}

// Which separator the header uses: the most frequent of comma, semicolon and
// tab outside quotes (a comma when none).
char detectDelimiter(std::string_view text) {
    std::size_t counts[3] = {};
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '\n' || c == '\r') break;
        counts[0] += c == ',';
        counts[1] += c == ';';
        counts[2] += c == '\t';
    }
    if (counts[1] > counts[0] && counts[1] >= counts[2]) return ';';
    if (counts[2] > counts[0] && counts[2] > counts[1]) return '\t';
    return ',';
}

std::string quotedName(std::string_view s) {
    return "\"" + printable(s) + "\"";
}

std::string knownColumns() {
    std::string s;
    for (std::size_t c = kNombre; c < kColumnCount; ++c)
        s += (c > kNombre ? ", " : "") + std::string(schema::kColumns[c]);
    return "se conocen las columnas de Orvane (" + s +
           "; Codigo se ignora) y las cabeceras de Google Contacts, Outlook (en inglés o en "
           "español), Thunderbird y abook";
}

}  // namespace

namespace {

struct DayMonth {
    int first = 0, second = 0;
    std::string rest;  // "/yyyy" and what follows
};
// The two numbers before a four-digit year of "a/b/yyyy".
std::optional<DayMonth> dayMonth(std::string_view text) {
    std::string_view t = trimmed(text);
    const std::size_t a = t.find('/'), b = a == std::string_view::npos ? a : t.find('/', a + 1);
    if (b == std::string_view::npos || a == 0 || a > 2 || b - a < 2 || b - a > 3)
        return std::nullopt;
    const auto num = [](std::string_view d) {
        int v = 0;
        for (char c : d) {
            if (c < '0' || c > '9') return -1;
            v = v * 10 + (c - '0');
        }
        return v;
    };
    const int x = num(t.substr(0, a)), y = num(t.substr(a + 1, b - a - 1));
    if (x < 1 || y < 1 || t.size() < b + 5) return std::nullopt;
    return DayMonth{x, y, std::string(t.substr(b))};
}

bool dateColumn(const Column& c) {
    const Entry* e = c.entry;
    return e &&
           (e->slot == Slot::Birthday || e->slot == Slot::Anniversary || e->kind == Kind::Event);
}

}  // namespace

namespace {

// Records as their lines come: a record ends with a line that leaves no
// quote open. The header's columns decide how every record is read; a date
// column's day/month order is known only once all its dates have been seen,
// so a first reading gathers them (survey) and the second reads by them.
class CsvParser : public LineParser {
  public:
    CsvParser(Reading& out, CsvSurvey& survey) : out_(out), survey_(survey) {}

    void line(const LineReader::Line& l) override {
        if (dead_) return;
        if (l.tooLong) {
            out_.addProblem({pending_.empty() ? l.number : pendingLine_, lineTooLong(l.number)});
            dead_ = header_;  // without its header nothing can be read
            pending_.clear();
            state_ = Scan::FieldStart;
            return;
        }
        if (pending_.empty()) {
            if (l.text.empty()) return;  // blank lines between records
            pendingLine_ = l.number;
        }
        pending_.append(l.text);
        scan(l.text);
        if (state_ == Scan::Quoted) {
            // A quoted field goes on: its line end is part of the text.
            pending_.append(l.end);
            if (pending_.size() > kMaxRecord) {
                out_.addProblem({pendingLine_, recordTooLarge("un registro")});
                dead_ = true;  // an open quote: where the next record starts is unknown
                pending_.clear();
            }
            return;
        }
        record();
    }

    void finish() override {
        if (!pending_.empty() && !dead_) record();
        if (header_ && !dead_)
            out_.addProblem(
                {1, "el archivo está vacío: falta la cabecera con los nombres de las columnas"});
        if (!header_ && !survey_.done) survey_.done = true;
    }

  private:
    void record() {
        if (header_) delim_ = detectDelimiter(pending_);
        CsvReader reader(pending_, delim_, pendingLine_);
        CsvRecord rec;
        std::string error;
        while (!dead_ && reader.next(rec, error)) {
            if (header_)
                header(rec, error);
            else
                body(rec, error);
            rec = {};
        }
        pending_.clear();
        state_ = Scan::FieldStart;
    }

    // Follows the quotes as CsvReader reads them, to know where a record
    // ends: a quote opens a field only at its start, and "" inside is one.
    void scan(std::string_view text) {
        const auto separator = [this](char c) {
            return header_ ? c == ',' || c == ';' || c == '\t' : c == delim_;
        };
        for (char c : text) switch (state_) {
                case Scan::FieldStart:
                    state_ = c == '"'       ? Scan::Quoted
                             : separator(c) ? Scan::FieldStart
                                            : Scan::Plain;
                    break;
                case Scan::Plain:
                    if (separator(c)) state_ = Scan::FieldStart;
                    break;
                case Scan::Quoted:
                    if (c == '"') state_ = Scan::QuoteSeen;
                    break;
                case Scan::QuoteSeen:
                    state_ = c == '"'       ? Scan::Quoted
                             : separator(c) ? Scan::FieldStart
                                            : Scan::Plain;
                    break;
            }
    }

    void header(const CsvRecord& rec, const std::string& error) {
        header_ = false;
        if (!error.empty()) {
            out_.addProblem({rec.line, "cabecera: " + error});
            dead_ = true;
            return;
        }
        std::array<bool, kColumnCount> seen{};
        std::vector<std::string> unknown;
        const std::size_t before = out_.problemCount;
        for (const Value& f : rec.fields) {
            Column col;
            col.header = std::string(trimmed(f.value_or("")));
            const std::string name = folded(col.header);
            col.own = ownColumn(name);
            if (col.own) {
                if (seen[*col.own])
                    out_.addProblem({rec.line, "columna repetida: " + quotedName(col.header)});
                seen[*col.own] = true;
            } else {
                allOwn_ = false;
                col.entry = lookUp(name, col.group);
                if (!col.entry) unknown.push_back(col.header);
                monthFirst_ = monthFirst_ || (col.entry && col.entry->monthFirst);
            }
            columns_.push_back(std::move(col));
        }
        // A column nobody knows is kept as a line of "Mas info" when the
        // header is another program's; beside our own columns only, it is a
        // mistake.
        const bool foreign =
            unknown.size() < columns_.size() - std::count(seen.begin(), seen.end(), true);
        if (!foreign || allOwn_)
            for (const std::string& u : unknown)
                out_.addProblem(
                    {rec.line, "columna desconocida: " + quotedName(u) + "; " + knownColumns()});
        if (out_.problemCount != before) {
            dead_ = true;
            return;
        }
        if (!survey_.done) {
            survey_.columns.assign(columns_.size(), {});
            return;
        }
        // Each date column's order, from the first reading.
        swap_.assign(columns_.size(), false);
        for (std::size_t i = 0; i < columns_.size() && i < survey_.columns.size(); ++i) {
            if (!dateColumn(columns_[i])) continue;
            const CsvSurvey::Votes& v = survey_.columns[i];
            if (v.dayFirst != v.monthFirst) {
                swap_[i] = v.monthFirst;
                continue;
            }
            swap_[i] = monthFirst_;
            if (v.either) out_.assumedOrder = monthFirst_ ? "mes/día" : "día/mes";
        }
    }

    void body(CsvRecord& rec, const std::string& error) {
        if (!survey_.done)
            for (std::size_t i = 0; i < columns_.size() && i < rec.fields.size(); ++i) {
                if (!dateColumn(columns_[i]) || !rec.fields[i]) continue;
                auto d = dayMonth(*rec.fields[i]);
                if (!d) continue;
                CsvSurvey::Votes& v = survey_.columns[i];
                v.dayFirst = v.dayFirst || (d->first > 12 && d->second <= 12);
                v.monthFirst = v.monthFirst || (d->second > 12 && d->first <= 12);
                v.either = v.either || (d->first <= 12 && d->second <= 12 && d->first != d->second);
            }
        if (!error.empty()) {
            out_.addProblem({rec.line, error});
            return;
        }
        if (rec.fields.size() != columns_.size()) {
            // Trailing empty fields some programs leave off are no fault.
            bool extraEmpty = rec.fields.size() > columns_.size();
            for (std::size_t i = columns_.size(); i < rec.fields.size(); ++i)
                extraEmpty = extraEmpty && (!rec.fields[i] || rec.fields[i]->empty());
            if (!extraEmpty && (allOwn_ || rec.fields.size() > columns_.size())) {
                out_.addProblem({rec.line, std::to_string(rec.fields.size()) +
                                               " campos, y la cabecera tiene " +
                                               std::to_string(columns_.size())});
                return;
            }
            rec.fields.resize(columns_.size());
        }
        Card k;
        std::string bad;
        for (std::size_t i = 0; i < columns_.size() && bad.empty(); ++i)
            if (rec.fields[i] && !validUtf8(*rec.fields[i]))
                bad = "texto que no está en UTF-8 en la columna " + quotedName(columns_[i].header);
        if (allOwn_) {
            for (std::size_t i = 0; i < columns_.size() && bad.empty(); ++i) {
                const Col c = *columns_[i].own;
                if (c == kCodigo) continue;
                Value& v = rec.fields[i];
                if (v && !v->empty() && v->front() == kTextMark) v = std::string(unmarkedCell(*v));
                if (c == kFecha && v && !v->empty()) {
                    auto iso = isoFromImported(*v);
                    if (!iso) bad = "fecha de nacimiento no válida: " + quotedName(*v);
                    v = std::move(iso);
                }
                k.exact[c] = std::move(v);
            }
            k.own.fill(true);
        } else if (bad.empty()) {
            // Each date column in day-first order, as the book reads dates.
            for (std::size_t i = 0; i < columns_.size() && i < swap_.size(); ++i)
                if (swap_[i] && rec.fields[i])
                    if (auto parts = dayMonth(*rec.fields[i]))
                        rec.fields[i] = std::to_string(parts->second) + "/" +
                                        std::to_string(parts->first) + parts->rest;
            k = cardFromRecord(columns_, rec.fields);
        }
        if (!bad.empty()) {
            out_.addProblem({rec.line, bad});
            return;
        }
        Contact c = toContact(k);
        cleanContact(c);
        out_.add({std::move(c), rec.line});
    }

    Reading& out_;
    CsvSurvey& survey_;
    bool header_ = true, dead_ = false, allOwn_ = true, monthFirst_ = false;
    char delim_ = ',';
    std::vector<Column> columns_;
    std::vector<bool> swap_;
    std::string pending_;
    long pendingLine_ = 0;
    enum class Scan { FieldStart, Plain, Quoted, QuoteSeen } state_ = Scan::FieldStart;
};

}  // namespace

std::unique_ptr<LineParser> csvParser(Reading& out, CsvSurvey& survey) {
    return std::make_unique<CsvParser>(out, survey);
}

void readCsvContacts(std::string_view text, Reading& out, const ProgressFn& progress) {
    readText(text, Format::Csv, out, nullptr, progress);
}

}  // namespace orv::exchange
