#pragma once
// The data control: holds a record set and keeps bound controls on its
// current row. It knows no widget: a control binds through two callbacks.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/engine.h"

namespace orv {

// A field's value as a bound control shows it: null as "", a date
// (stored YYYY-MM-DD) as dd/mm/yyyy, anything else unchanged.
std::string fieldText(const std::string& field, const Value& v);
// The value stored for a control's text: a date box's dd/mm/yyyy becomes
// YYYY-MM-DD, a date box with no digit ("__/__/____") a null. Any other
// date text (half typed, no real day) is refused with kErrConstraint rather
// than stored as text in the date column.
Value textValue(const std::string& field, const std::string& text);

class DataControl : public RecordsetObserver {
  public:
    struct Binding {
        std::string field;
        // Shows the current row's field (as fieldText gives it).
        std::function<void(const std::string& text)> show;
        // The control's text at Update; empty for display-only controls.
        std::function<std::string()> text;
    };

    DataControl() = default;
    ~DataControl() override;
    DataControl(const DataControl&) = delete;
    DataControl& operator=(const DataControl&) = delete;

    // Record source for Refresh on an updatable control (the card): the
    // database path and the query text. Opening happens at Refresh.
    void setSource(std::string databasePath, std::string recordSource);
    // Gives the control a record set (the results window's way). A query
    // record set given as such stays reachable as one.
    void setRecordset(std::unique_ptr<Recordset> rs);
    void setRecordset(std::unique_ptr<QueryRecordset> rs);
    void setRecordset(std::nullptr_t) { setRecordset(std::unique_ptr<Recordset>()); }
    Recordset* recordset() const { return rs_.get(); }
    // The record set, when it was given as a query record set; else null.
    QueryRecordset* queryRecordset() const { return query_; }

    // With a source: opens it again, first row current. Without: shows the
    // held record set from its first row.
    void Refresh();

    void bind(Binding b);
    // Collects the editable controls' texts and stores the pending row.
    // Fields whose text is unchanged since it was shown keep their stored
    // value exactly (a null stays null, a long text is not cut).
    // When another writer changed a field the user changed too
    // (DataChangedError), the controls the user left alone show the row as
    // it is now and the typed texts stay: the same Update again stores them
    // over the other writer's values. `again` stores a row deleted meanwhile
    // anew (Recordset::Update).
    void Update(bool again = false);

    // Shows the current row in every bound control.
    void currentChanged() override;

  private:
    std::string dbPath_, source_;
    std::shared_ptr<Database> db_;
    std::unique_ptr<Recordset> rs_;
    QueryRecordset* query_ = nullptr;  // rs_, when it is one
    std::vector<Binding> bindings_;
    std::vector<std::string> shown_;  // last text shown, per binding
};

}  // namespace orv
