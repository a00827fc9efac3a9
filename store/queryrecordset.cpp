// The results window's record set. Only row keys are read ahead, page by
// page, from the name index alone; full rows are read by key when shown, so
// a million contacts cost some 8 MB of keys plus a few cached pages.

#include <algorithm>
#include <cstdint>
#include <list>

#include "store/ascii.h"
#include "store/collation.h"
#include "store/pattern.h"
#include "store/recordsets.h"
#include "store/schema.h"
#include "store/sql.h"

namespace orv::detail {

namespace {

// Keys read at opening: enough for the first screens; the grid asks for more.
constexpr std::size_t kFirstKeys = 64;
constexpr std::size_t kRowPage = 16;  // rows per cached page: about a screenful
constexpr std::size_t kCachedPages = 64;

class PrefixQueryRecordset final : public QueryRecordset {
  public:
    PrefixQueryRecordset(std::shared_ptr<Database> db, const ParsedQuery& q)
        : db_(std::move(db)), ordered_(q.orderByName), pattern_(q.pattern) {
        const char* coll = nullptr;
        spanishColumn_ =
            sqlite3_table_column_metadata(db_->handle(), "main", "Registros", "Nombre", nullptr,
                                          &coll, nullptr, nullptr, nullptr) == SQLITE_OK &&
            coll && ascii::iequals(coll, schema::kCollation);
        if (ordered_ && pattern_) {
            // A literal prefix becomes an index range, so that "z" is a seek.
            const Pattern compiled(*pattern_);
            matchesAll_ = compiled.matchesAll();
            if (!compiled.prefixWeights().empty()) {
                lo_ = collation::lowestWithPrimary(compiled.prefixWeights());
                hi_ = collation::upperBoundForPrefix(compiled.prefixWeights());
            }
        }
        open();
    }

    const std::vector<std::string>& fieldNames() const override { return db_->columns(); }

    long RecordCount() override { return static_cast<long>(keys_.size()); }
    bool hasCurrent() const override { return current_ < keys_.size(); }
    Value value(int field) const override {
        checkField(field);
        if (!hasCurrent()) return std::nullopt;
        return row(current_)[static_cast<std::size_t>(field)];
    }

    void MoveFirst() override {
        current_ = keys_.empty() ? kNone : 0;
        notify();
    }
    void Requery() override {
        open();
        notify();
    }

    std::size_t rowsFetched() const override { return keys_.size(); }
    bool canFetchMore() const override { return phase_ != Phase::Done; }
    std::size_t fetchMore(std::size_t n) override {
        sql::ReadTransaction read(db_->handle());
        std::size_t got = 0;
        while (got < n && phase_ != Phase::Done) {
            const std::size_t want = n - got, page = fetchPage(want);
            got += page;
            if (page < want) {
                phase_ = phase_ == Phase::NullNames ? Phase::Names : Phase::Done;
                afterCode_.reset();
            }
        }
        return got;
    }
    void fetchAll() override {
        while (phase_ != Phase::Done) fetchMore(INT64_MAX);
    }
    Value valueAt(std::size_t r, int field) override {
        checkField(field);
        if (r >= keys_.size()) return std::nullopt;
        return row(r)[static_cast<std::size_t>(field)];
    }
    std::int64_t codeAt(std::size_t r) override {
        if (r >= keys_.size()) noRow();
        return keys_[r];
    }
    void setCurrentRow(std::size_t r) override {
        if (r >= keys_.size()) noRow();
        current_ = r;
        notify();
    }
    std::size_t currentRow() const override { return current_; }

  private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    static constexpr int kPatternParam = 1, kLoParam = 2, kHiParam = 3, kAfterNameParam = 4,
                         kAfterCodeParam = 5, kLimitParam = 6;

    [[noreturn]] static void noRow() {
        throw EngineError(kErrNoCurrentRecord, "No hay registro actual.");
    }
    void checkField(int field) const {
        if (field < 0 || static_cast<std::size_t>(field) >= fieldNames().size())
            throw EngineError(kErrFieldNotFound, "No se encuentra el campo pedido.");
    }

    void open() {
        keys_.clear();
        keys_.shrink_to_fit();
        pages_.clear();
        afterCode_.reset();
        afterName_.clear();
        // Null names sort first, and a pair comparison cannot step past them.
        phase_ = ordered_ && !pattern_ ? Phase::NullNames : Phase::Names;
        current_ = kNone;
        fetchMore(kFirstKeys);
        if (!keys_.empty()) current_ = 0;
    }

    // Keys only, read from the name index: the covering index gives both
    // the name (filter and order) and the code. Each page is a statement of
    // its own that starts after the last key read, so no read stays open
    // (and holds a lock) between calls. Nombre's own collation is the
    // Spanish one; naming it again here would stop SQLite from seeking on
    // the (Nombre, Codigo) pair.
    enum Sql { kInCodeOrder, kNamesFirst, kNamesAfter };
    std::string keySql(Sql which) const {
        std::string sql = "SELECT Codigo, Nombre FROM Registros WHERE ";
        if (which == kInCodeOrder) {
            if (phase_ == Phase::NullNames)
                sql += "Nombre IS NULL";
            else
                sql += pattern_ ? "Nombre LIKE ?1" : "1";
            return sql + " AND Codigo > ?5 ORDER BY Codigo LIMIT ?6";
        }
        // "*" lists every name: no need to call the matcher a million times.
        sql += pattern_ && !matchesAll_ ? "Nombre LIKE ?1" : "Nombre IS NOT NULL";
        // A book whose Nombre lacks the collation (made by another tool) is
        // still read in Spanish order, only without the index.
        const std::string name = spanishColumn_ ? "Nombre" : "Nombre COLLATE ESPANOL";
        if (which == kNamesFirst && lo_) sql += " AND " + name + " >= ?2";
        if (hi_) sql += " AND " + name + " < ?3";
        if (which == kNamesAfter) sql += " AND (" + name + ", Codigo) > (?4, ?5)";
        return sql + " ORDER BY " + name + ", Codigo LIMIT ?6";
    }

    std::size_t fetchPage(std::size_t n) {
        const Sql which = !ordered_ || phase_ == Phase::NullNames ? kInCodeOrder
                          : afterCode_                            ? kNamesAfter
                                                                  : kNamesFirst;
        auto& s = stmts_[which];
        if (!s) {
            s = std::make_unique<sql::Statement>(db_->handle(), keySql(which));
            if (pattern_) s->bind(kPatternParam, std::string_view(*pattern_));
            if (lo_) s->bind(kLoParam, std::string_view(*lo_));
            if (hi_) s->bind(kHiParam, std::string_view(*hi_));
        }
        if (which == kNamesAfter) s->bind(kAfterNameParam, std::string_view(afterName_));
        s->bind(kAfterCodeParam, afterCode_.value_or(INT64_MIN));
        s->bind(kLimitParam, static_cast<std::int64_t>(std::min<std::size_t>(n, INT64_MAX)));
        std::size_t got = 0;
        try {
            while (s->step()) {
                keys_.push_back(s->int64(0));
                if (which != kInCodeOrder) afterName_.assign(s->text(1));
                ++got;
            }
        } catch (...) {
            s->reset();
            throw;
        }
        s->reset();
        if (got) afterCode_ = keys_.back();
        return got;
    }

    // The full row at index r, through the page cache (most recent first).
    const std::vector<Value>& row(std::size_t r) const {
        const std::size_t page = r / kRowPage;
        for (auto it = pages_.begin(); it != pages_.end(); ++it) {
            if (it->index == page && it->rows.size() > r % kRowPage) {
                pages_.splice(pages_.begin(), pages_, it);
                return pages_.front().rows[r % kRowPage];
            }
        }
        if (!rowStmt_)
            rowStmt_ = std::make_unique<sql::Statement>(
                db_->handle(), "SELECT * FROM Registros WHERE Codigo = ?1");
        sql::ReadTransaction read(db_->handle());
        Page p{page, {}};
        const std::size_t end = std::min(keys_.size(), (page + 1) * kRowPage);
        const std::size_t width = fieldNames().size();
        for (std::size_t i = page * kRowPage; i < end; ++i) {
            rowStmt_->bind(1, keys_[i]);
            std::vector<Value> values(width);
            try {
                // A row deleted since its key was read shows as nulls.
                if (rowStmt_->step())
                    for (std::size_t c = 0; c < width; ++c)
                        values[c] = rowStmt_->value(static_cast<int>(c));
            } catch (...) {
                rowStmt_->reset();
                throw;
            }
            rowStmt_->reset();
            p.rows.push_back(std::move(values));
        }
        pages_.remove_if([page](const Page& x) { return x.index == page; });
        pages_.push_front(std::move(p));
        if (pages_.size() > kCachedPages) pages_.pop_back();
        return pages_.front().rows[r % kRowPage];
    }

    struct Page {
        std::size_t index;
        std::vector<std::vector<Value>> rows;
    };

    std::shared_ptr<Database> db_;
    bool ordered_;
    std::optional<std::string> pattern_;
    std::optional<std::string> lo_, hi_;
    bool spanishColumn_ = false;  // Nombre is declared with our collation
    bool matchesAll_ = false;     // the pattern is only "*"s
    enum class Phase { NullNames, Names, Done };
    Phase phase_ = Phase::Names;
    std::unique_ptr<sql::Statement> stmts_[3];  // by Sql (kInCodeOrder serves one phase only)
    mutable std::unique_ptr<sql::Statement> rowStmt_;
    std::vector<std::int64_t> keys_;
    std::optional<std::int64_t> afterCode_;  // the last key read in this phase
    std::string afterName_;                  // its name
    std::size_t current_ = kNone;
    mutable std::list<Page> pages_;
};

}  // namespace

std::unique_ptr<QueryRecordset> openQueryRecordset(std::shared_ptr<Database> db,
                                                   const ParsedQuery& q) {
    return std::make_unique<PrefixQueryRecordset>(std::move(db), q);
}

}  // namespace orv::detail
