#pragma once
// The results grid: a read-only table of whole rows with a record selector,
// kept on the record set's current row. Reaching the end (Ctrl+End, or the
// scroll bar dragged to the bottom) reads the remaining row keys at once, so
// the real last row is one step away however long the list is.

#include <QHeaderView>
#include <QTableView>

namespace orv::ui {

class ResultsModel;

// The narrow header before the rows: marks the current row with a triangle.
class RecordSelector : public QHeaderView {
    Q_OBJECT
  public:
    explicit RecordSelector(QWidget* parent = nullptr);
    QSize sizeHint() const override;

  protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
};

class ResultsGrid : public QTableView {
    Q_OBJECT
  public:
    explicit ResultsGrid(QWidget* parent = nullptr);

    void setResultsModel(ResultsModel* model);
    ResultsModel* resultsModel() const { return model_; }

    // Makes the first row current (nothing when there are no rows).
    void showFirstRow();
    // The current row, -1 when there is none.
    int currentRow() const { return currentIndex().row(); }

  signals:
    // A double-click on a row or its record selector (not on the column
    // headers or the empty area below); the row is then the current one.
    void rowDoubleClicked();

  protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    QItemSelectionModel::SelectionFlags selectionCommand(
        const QModelIndex& index, const QEvent* event = nullptr) const override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

  private:
    void sizeColumns();
    // Reads the remaining rows and scrolls to the last, leaving the current row.
    void scrollToLastRow();

    ResultsModel* model_ = nullptr;
    bool jumping_ = false;
};

}  // namespace orv::ui
