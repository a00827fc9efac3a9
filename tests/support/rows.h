#pragma once
// Data rows of texts for a data-driven test: one line a row instead of an
// addColumn and a newRow each.

#include <QTest>

#include <initializer_list>

namespace testrows {

// A QString column for each of `columns`, then one row for each of `rows`:
// its first text names the row, the others fill the columns in order.
inline void texts(std::initializer_list<const char*> columns,
                  std::initializer_list<std::initializer_list<const char*>> rows) {
    for (const char* c : columns) QTest::addColumn<QString>(c);
    for (const auto& row : rows) {
        auto it = row.begin();
        QTestData& data = QTest::newRow(*it);
        while (++it != row.end()) data << QString::fromUtf8(*it);
    }
}

}  // namespace testrows
