#pragma once
// The results grid's model: a read-only table over a query record set, read
// page by page as the view scrolls. Only the record set's row keys and its
// few cached pages are ever in memory, never the whole result.

#include <QAbstractTableModel>
#include <QStringList>
#include <string>
#include <vector>

#include "store/engine.h"

namespace orv::ui {

class ResultsModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    // Row keys read per fetchMore.
    static constexpr std::size_t kPage = 256;

    explicit ResultsModel(QObject* parent = nullptr);

    // Shows a record set (not owned; nullptr shows nothing). Resets the model.
    void setRecordset(orv::QueryRecordset* rs);
    orv::QueryRecordset* recordset() const { return rs_; }
    // The field behind a column, as the record set names it.
    QString fieldName(int column) const { return fields_.value(column); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    // Reads every remaining row key (to jump to the last row).
    void fetchAll();

    // Makes a row the record set's current row, so bound controls follow it.
    void makeCurrent(int row);

  private:
    // Announces the rows the record set has read beyond those shown.
    void takeFetched();
    // An engine error met while the view paints or scrolls: reported once,
    // after the view's handler has returned (never a message box in a paint).
    void report(const orv::EngineError& error) const;

    orv::QueryRecordset* rs_ = nullptr;
    QStringList fields_;
    std::vector<std::string> names_;  // the same, for the store
    int rows_ = 0;
    bool fetchFailed_ = false;
    mutable bool reported_ = false;
};

}  // namespace orv::ui
