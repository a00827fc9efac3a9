// The results window's record set. Only row codes are read ahead, page by
// page, from the sort-key index; full rows are read by code when shown, so
// a million contacts cost some 8 MB of codes plus a few cached pages.

#include <algorithm>
#include <cstdint>
#include <list>

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
        if (ordered_ && pattern_) {
            // A literal prefix becomes a key range, so that "z" is a seek.
            const Pattern compiled(*pattern_);
            matchesAll_ = compiled.matchesAll();
            range_ = collation::prefixRange(compiled.prefixWeights());
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
    bool canFetchMore() const override { return !done_; }
    std::size_t fetchMore(std::size_t n) override {
        sql::ReadTransaction read(db_->handle());
        std::size_t got = 0;
        while (got < n && !done_) {
            const std::size_t want = n - got, page = fetchPage(want);
            got += page;
            if (page < want) done_ = true;
        }
        return got;
    }
    void fetchAll() override {
        while (!done_) fetchMore(INT64_MAX);
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
    static constexpr int kPatternParam = 1, kLoParam = 2, kHiParam = 3, kAfterKeyParam = 4,
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
        afterKey_.clear();
        done_ = false;
        current_ = kNone;
        const std::string& in = db_->freshKeys();
        if (in != keysIn_ || db_->handle() != handle_)
            for (auto& s : stmts_) s.reset();
        keysIn_ = in;
        handle_ = db_->handle();
        fetchMore(kFirstKeys);
        if (!keys_.empty()) current_ = 0;
    }

    // Codes only, read from the key index in order; the name is read from
    // the row only when the pattern must be tried on it. Each page is a
    // statement of its own that starts after the last key read, so no read
    // stays open (and holds a lock) between calls. A null name's key is
    // empty: it sorts first, and a pattern's range leaves it out.
    enum Sql { kInCodeOrder, kKeysFirst, kKeysAfter };
    std::string keySql(Sql which) const {
        if (which == kInCodeOrder)
            return std::string("SELECT Codigo, NULL FROM main.Registros WHERE ") +
                   (pattern_ ? "Nombre LIKE ?1" : "1") +
                   " AND Codigo > ?5 ORDER BY Codigo LIMIT ?6";
        const bool tryName = pattern_ && !matchesAll_;
        std::string sql = "SELECT k.Codigo, k.Clave FROM " + keysIn_ + ".OrvClaves k";
        if (tryName) sql += " CROSS JOIN main.Registros r ON r.Codigo = k.Codigo";
        sql += " WHERE ";
        sql += pattern_ ? "k.Clave >= ?2" : "1";
        if (range_.hi) sql += " AND k.Clave < ?3";
        if (tryName) sql += " AND r.Nombre LIKE ?1";
        if (which == kKeysAfter) sql += " AND (k.Clave, k.Codigo) > (?4, ?5)";
        return sql + " ORDER BY k.Clave, k.Codigo LIMIT ?6";
    }

    std::size_t fetchPage(std::size_t n) {
        const Sql which = !ordered_ ? kInCodeOrder : afterCode_ ? kKeysAfter : kKeysFirst;
        auto& s = stmts_[which];
        if (!s) {
            s = std::make_unique<sql::Statement>(db_->handle(), keySql(which));
            if (pattern_) {
                s->bind(kPatternParam, std::string_view(*pattern_));
                if (which != kInCodeOrder) s->bindBlob(kLoParam, range_.lo);
            }
            if (range_.hi && which != kInCodeOrder) s->bindBlob(kHiParam, *range_.hi);
        }
        if (which == kKeysAfter) s->bindBlob(kAfterKeyParam, afterKey_);
        s->bind(kAfterCodeParam, afterCode_.value_or(INT64_MIN));
        s->bind(kLimitParam, static_cast<std::int64_t>(std::min<std::size_t>(n, INT64_MAX)));
        std::size_t got = 0;
        try {
            while (s->step()) {
                keys_.push_back(s->int64(0));
                if (which != kInCodeOrder) afterKey_.assign(s->text(1));
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
    collation::KeyRange range_;
    bool matchesAll_ = false;  // the pattern is only "*"s
    bool done_ = false;
    std::string keysIn_;                        // the schema of the keys read
    sqlite3* handle_ = nullptr;                 // and the connection
    std::unique_ptr<sql::Statement> stmts_[3];  // by Sql
    mutable std::unique_ptr<sql::Statement> rowStmt_;
    std::vector<std::int64_t> keys_;
    std::optional<std::int64_t> afterCode_;  // the last code read
    std::string afterKey_;                   // its sort key
    std::size_t current_ = kNone;
    mutable std::list<Page> pages_;
};

}  // namespace

std::unique_ptr<QueryRecordset> openQueryRecordset(std::shared_ptr<Database> db,
                                                   const ParsedQuery& q) {
    return std::make_unique<PrefixQueryRecordset>(std::move(db), q);
}

}  // namespace orv::detail
