// Name patterns that make a backtracking matcher blow up stay linear in the
// name's length here. Work is counted in the matcher's own steps, never in
// time, so the test says the same on any machine.

#include <QtTest>

#include <string>

#include "store/collation.h"
#include "store/pattern.h"

using namespace orv;

class TestStoreLinear : public QObject {
    Q_OBJECT

  private slots:
    void stepsGrowLinearly_data();
    void stepsGrowLinearly();
};

void TestStoreLinear::stepsGrowLinearly_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("unit");  // the name is this, repeated
    QTest::addColumn<QString>("tail");  // then this once
    QTest::addColumn<bool>("match");
    struct Case {
        const char *name, *pattern, *unit, *tail;
        bool match;
    };
    const Case cases[] = {
        {"stars, no b", "*a*a*a*a*a*a*a*a*b", "a", "", false},
        {"stars, final b", "*a*a*a*a*a*a*a*a*b", "a", "b", true},
        {"no leading star", "a*a*a*a*a*a*a*a*b", "a", "", false},
        {"accents fold", "*á*Á*à*a*ä*A*â*a*b", "A", "", false},
        {"any one", "*?*?*?*?*?*?*?*?*b", "x", "", false},
        {"lists", "*[a-c]*[!d]*[abc]*[a-z]*b", "a", "c", false},
        {"digits", "*#*#*#*#*#*#*#*x", "7", "", false},
        {"near misses", "*aab*aab*aab*aab*c", "aab", "", false},
        {"near misses, found", "*aab*aab*aab*aab*c", "aab", "c", true},
        {"ñ is no n", "*n*n*n*n*n*n*b", "ñ", "b", false},
    };
    for (const Case& c : cases)
        QTest::newRow(c.name) << QString(c.pattern) << QString(c.unit) << QString(c.tail)
                              << c.match;
}

void TestStoreLinear::stepsGrowLinearly() {
    QFETCH(QString, pattern);
    QFETCH(QString, unit);
    QFETCH(QString, tail);
    QFETCH(bool, match);
    const std::string p = pattern.toStdString();
    const Pattern compiled(p);
    const std::size_t m = collation::decode(p).size();

    std::size_t previous = 0;
    for (const int length : {1000, 2000, 4000}) {
        const QString name = unit.repeated(length / static_cast<int>(unit.size())) + tail;
        const std::string utf8 = name.toStdString();
        const std::size_t n = collation::decode(utf8).size();
        std::size_t steps = 0;
        QCOMPARE(compiled.matches(std::string_view(utf8), &steps), match);
        // The promised bound, with a small constant.
        QVERIFY2(steps <= 2 * (n + 1) * (m + 1),
                 qPrintable(QString("%1 steps for %2 characters").arg(steps).arg(n)));
        // Twice the name costs about twice the work, not four times.
        if (previous)
            QVERIFY2(
                steps <= previous * 2 + 2 * (m + 1),
                qPrintable(QString("%1 steps, %2 for half the name").arg(steps).arg(previous)));
        previous = steps;

        std::size_t wide = 0;
        QCOMPARE(compiled.matches(collation::decode(utf8), &wide), match);
        QCOMPARE(wide, steps);
    }
}

QTEST_APPLESS_MAIN(TestStoreLinear)
#include "tst_store_linear.moc"
