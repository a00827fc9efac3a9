// The results window's record set. Only row keys are read ahead, page by
// page, from the name index alone; full rows are read by key when shown, so
// a million contacts cost some 8 MB of keys plus a few cached pages.

#include <algorithm>
#include <cstdint>
#include <list>

#include "store/collation.h"
#include "store/pattern.h"
#include "store/sqlitehelp.h"

namespace orv::detail {

namespace {

constexpr std::size_t kKeyPage = 256;  // keys read per fetch at opening
constexpr std::size_t kRowPage = 256;  // rows per cached page
constexpr std::size_t kCachedPages = 8;

class PrefixQueryRecordset final : public QueryRecordset {
  public:
    PrefixQueryRecordset(std::shared_ptr<Database> db, const ParsedQuery& q)
        : db_(std::move(db)), ordered_(q.orderByName), pattern_(q.pattern.value_or("*")) {
        if (ordered_) {
            // A literal prefix becomes an index range, so that "z" is a seek.
            const Pattern compiled(pattern_);
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
    bool canFetchMore() const override { return !atEnd_; }
    std::size_t fetchMore(std::size_t n) override {
        if (atEnd_ || n == 0) return 0;
        Stmt& s = keysAfter_.has_value() ? nextStatement() : firstStatement();
        s.bind(kLimitParam, static_cast<std::int64_t>(std::min<std::size_t>(n, INT64_MAX)));
        std::size_t got = 0;
        try {
            while (s.step()) {
                keys_.push_back(s.int64(0));
                if (ordered_) lastName_.assign(s.text(1));
                ++got;
            }
        } catch (...) {
            s.reset();
            throw;
        }
        s.reset();
        if (got) keysAfter_ = keys_.back();
        if (got < n) atEnd_ = true;
        return got;
    }
    void fetchAll() override {
        while (!atEnd_) fetchMore(INT64_MAX);
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
        keysAfter_.reset();
        lastName_.clear();
        atEnd_ = false;
        current_ = kNone;
        fetchMore(kKeyPage);
        if (!keys_.empty()) current_ = 0;
    }

    // Keys only, read from the name index: the covering index gives both
    // the name (filter and order) and the code. Nombre's own collation is
    // the Spanish one; naming it again here would stop SQLite from seeking
    // on the (Nombre, Codigo) pair.
    std::string keySql(bool after) const {
        std::string sql = "SELECT Codigo, Nombre FROM Registros WHERE Nombre LIKE ?1";
        if (ordered_) {
            if (!after && lo_) sql += " AND Nombre >= ?2";
            if (hi_) sql += " AND Nombre < ?3";
            if (after) sql += " AND (Nombre, Codigo) > (?4, ?5)";
            sql += " ORDER BY Nombre, Codigo";
        } else if (after) {
            sql += " AND Codigo > ?5 ORDER BY Codigo";
        } else {
            sql += " ORDER BY Codigo";
        }
        return sql + " LIMIT ?6";
    }
    void bindCommon(Stmt& s) const {
        s.bind(kPatternParam, std::string_view(pattern_));
        if (lo_) s.bind(kLoParam, std::string_view(*lo_));
        if (hi_) s.bind(kHiParam, std::string_view(*hi_));
    }
    Stmt& firstStatement() {
        if (!first_) {
            first_ = std::make_unique<Stmt>(db_->handle(), keySql(false));
            bindCommon(*first_);
        }
        return *first_;
    }
    Stmt& nextStatement() {
        if (!next_) {
            next_ = std::make_unique<Stmt>(db_->handle(), keySql(true));
            bindCommon(*next_);
        }
        if (ordered_) next_->bind(kAfterNameParam, std::string_view(lastName_));
        next_->bind(kAfterCodeParam, *keysAfter_);
        return *next_;
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
            rowStmt_ =
                std::make_unique<Stmt>(db_->handle(), "SELECT * FROM Registros WHERE Codigo = ?1");
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
    std::string pattern_;
    std::optional<std::string> lo_, hi_;
    std::unique_ptr<Stmt> first_, next_;
    mutable std::unique_ptr<Stmt> rowStmt_;
    std::vector<std::int64_t> keys_;
    std::optional<std::int64_t> keysAfter_;  // code of the last key read
    std::string lastName_;                   // its name
    bool atEnd_ = false;
    std::size_t current_ = kNone;
    mutable std::list<Page> pages_;
};

}  // namespace

std::unique_ptr<QueryRecordset> openQueryRecordset(std::shared_ptr<Database> db,
                                                   const ParsedQuery& q) {
    return std::make_unique<PrefixQueryRecordset>(std::move(db), q);
}

}  // namespace orv::detail
