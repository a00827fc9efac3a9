// The results window, driven through real widgets offscreen on temporary
// contact books: what it lists, how a contact is chosen or the list left,
// the grid's refusal to change anything, its lazy reading and its errors.

#include <QtTest>

#include <QAbstractButton>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>
#include <functional>

#include "store/engine.h"
#include "store/schema.h"
#include "support/storetest.h"
#include "support/uitest.h"
#include "ui/orvmod.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;

namespace {

// The record card's stand-in: notes what it was given and whether the list
// was gone, then closes itself.
struct CardVisit {
    QString sCodigo;
    bool resultsGone = false;
};
QList<CardVisit> visits;

bool resultsVisible() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("frmsecond") && w->isVisible()) return true;
    }
    return false;
}

class StubCard : public Form {
  public:
    StubCard() : Form(QStringLiteral("frmfinal")) {}

  protected:
    void Form_Load() override {
        visits.append(
            {orvmod::sCodigo, !Form::instance(QStringLiteral("frmsecond")) && !resultsVisible()});
        QTimer::singleShot(0, this, [this] { Unload(); });
    }
};

// Codes are 1, 2, ... in this order; one null name, one empty.
const std::vector<orv::Value> kBook = {"Marta",      "ana maría", "Manuel",  "",
                                       std::nullopt, "miguel",    "O'Brien", "Álvaro",
                                       "mario",      "Zoe",       "Ana"};

QTableView* grid(Form* form) {
    return form->findChild<QTableView*>(QStringLiteral("data2"));
}
QAbstractButton* button(Form* form, const char* name) {
    return form->findChild<QAbstractButton*>(QString::fromLatin1(name));
}
QString codigo(Form* form) {
    return form->findChild<QLabel*>(QStringLiteral("txtPasarCodigo"))->text();
}
int columnOf(QTableView* view, const QString& field) {
    for (int c = 0; c < view->model()->columnCount(); ++c) {
        if (view->model()->headerData(c, Qt::Horizontal) == field) return c;
    }
    return -1;
}
// A column as the grid shows it, for the rows it has read.
QStringList column(Form* form, const QString& field = QStringLiteral("Nombre")) {
    QTableView* view = grid(form);
    const int c = columnOf(view, field);
    QStringList out;
    for (int r = 0; r < view->model()->rowCount(); ++r)
        out << view->model()->index(r, c).data().toString();
    return out;
}
// Whether a row lies within the grid's visible height.
bool rowVisible(QTableView* view, int row) {
    const int top = view->rowViewportPosition(row);
    return top >= 0 && top + view->rowHeight(row) <= view->viewport()->height();
}
// A double-click as the system delivers it: press and release, then the
// second press as a double-click.
void doubleClick(QWidget* widget, QPoint at) {
    QTest::mouseClick(widget, Qt::LeftButton, {}, at);
    QPointer<QWidget> alive(widget);
    QTest::mouseDClick(widget, Qt::LeftButton, {}, at);
    if (alive && alive->isVisible()) QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
}

}  // namespace

class TestResults : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        registerResultsWindow();
        registerMainWindow();
        ProgramEndSeam::install([this](int status) { endings_.append(status); });
    }

    void init() {
        dir_.reset(new QTemporaryDir);
        QVERIFY(dir_->isValid());
        AppPathSeam::set(dir_->path());
        Form::registerKind<StubCard>(QStringLiteral("frmfinal"));
        visits.clear();
        endings_.clear();
        MsgBoxSeam::reset();
        orvmod::sCodigo.clear();
    }

    void cleanup() {
        Form::destroyAll();
        ProgramEndSeam::reset();
        AppPathSeam::reset();
        MsgBoxSeam::reset();
    }

    void windowAndFocus() {
        makeBook(kBook);
        QVERIFY(withResults(QString(), [](Form* form) {
            QCOMPARE(form->size(), QSize(px(6480), px(4545)));
            QCOMPARE(grid(form)->geometry(), twipRect(120, 120, 6255, 3855));
            QVERIFY(!form->findChild<QLabel*>(QStringLiteral("txtPasarCodigo"))->isVisible());
            // Cancelar first, so that Enter at once leaves.
            QCOMPARE(QApplication::focusWidget(), button(form, "cbCancelar"));
            QVERIFY(orv::uitest::showsFocusCue(button(form, "cbCancelar")));
            // The first row is current and marked as the one selected row.
            QCOMPARE(grid(form)->currentIndex().row(), 0);
            QCOMPARE(grid(form)->selectionModel()->selectedRows().size(), 1);
            QCOMPARE(codigo(form), QStringLiteral("4"));
        }));
    }

    void listsByPrefix_data() {
        QTest::addColumn<QString>("filtro");
        QTest::addColumn<QStringList>("names");
        const QStringList all = {"",      "Álvaro", "Ana",    "ana maría", "Manuel",
                                 "mario", "Marta",  "miguel", "O'Brien",   "Zoe"};
        // Every non-null name, the empty one too.
        QTest::newRow("Todos") << QString() << all;
        QTest::newRow("any run") << QStringLiteral("*") << all;
        // Capital and small initials in one order.
        QTest::newRow("m") << QStringLiteral("m")
                           << QStringList{"Manuel", "mario", "Marta", "miguel"};
        QTest::newRow("trailing blank") << QStringLiteral("ana ") << QStringList{"ana maría"};
        // A quote is an ordinary character, not the end of the pattern.
        QTest::newRow("quote") << QStringLiteral("O'") << QStringList{"O'Brien"};
        QTest::newRow("no match") << QStringLiteral("zz") << QStringList{};
    }

    void listsByPrefix() {
        QFETCH(QString, filtro);
        QFETCH(QStringList, names);
        makeBook(kBook);
        QVERIFY(withResults(filtro, [&](Form* form) { QCOMPARE(column(form), names); }));
        QVERIFY(MsgBoxSeam::log().isEmpty());
    }

    void showsEveryFieldAsText() {
        makeBook({"Lucía"});
        orv::Database::open(book_)->exec(
            "UPDATE Registros SET Apellido = 'Peña', \"Mas info\" = 'una' || char(10) || 'dos', "
            "\"Fecha de nacimiento\" = '1971-10-29' WHERE Codigo = 1");
        QVERIFY(withResults(QString(), [](Form* form) {
            QTableView* view = grid(form);
            QStringList headers;
            for (int c = 0; c < view->model()->columnCount(); ++c)
                headers << view->model()->headerData(c, Qt::Horizontal).toString();
            QStringList expected;
            for (auto name : orv::schema::kColumns)
                expected << QString::fromUtf8(name.data(), qsizetype(name.size()));
            QCOMPARE(headers, expected);
            QCOMPARE(column(form, "Codigo"), QStringList{"1"});
            QCOMPARE(column(form, "Apellido"), QStringList{"Peña"});
            QCOMPARE(column(form, "Fecha de nacimiento"), QStringList{"29/10/1971"});
            QCOMPARE(column(form, "Telefono"), QStringList{""});  // null
            // A note stays on its row's one line.
            QCOMPARE(column(form, "Mas info"), QStringList{"una dos"});
        }));
    }

    void twoOpeningsAreIndependent() {
        makeBook(kBook);
        QPointer<Form> first;
        QVERIFY(withResults(QStringLiteral("a"), [&](Form* form) {
            first = form;
            QCOMPARE(column(form), (QStringList{"Álvaro", "Ana", "ana maría"}));
            QTest::mouseClick(button(form, "cbCancelar"), Qt::LeftButton);
        }));
        QVERIFY(withResults(QStringLiteral("m"), [&](Form* form) {
            QVERIFY(form != first);
            QCOMPARE(column(form), (QStringList{"Manuel", "mario", "Marta", "miguel"}));
            QCOMPARE(codigo(form), QStringLiteral("3"));
        }));
    }

    void okAtOnceChoosesFirstByName() {
        makeBook(kBook);
        QVERIFY(withResults(QStringLiteral("m"), [](Form* form) {
            QTest::mouseClick(button(form, "cbOk"), Qt::LeftButton);
        }));
        QCOMPARE(visits.size(), 1);
        QCOMPARE(visits[0].sCodigo, QStringLiteral("3"));  // Manuel
        QVERIFY(visits[0].resultsGone);
        QCOMPARE(orvmod::sCodigo, QStringLiteral("3"));
        // After the card the list does not come back.
        QVERIFY(!Form::instance(QStringLiteral("frmsecond")));
        QVERIFY(!resultsVisible());
    }

    void doubleClickChoosesThatRow() {
        makeBook(kBook);
        QVERIFY(withResults(QStringLiteral("m"), [](Form* form) {
            QTableView* view = grid(form);
            // Neither the header nor the empty area below the rows chooses.
            doubleClick(view->horizontalHeader()->viewport(), QPoint(20, 5));
            doubleClick(view->viewport(), QPoint(20, view->viewport()->height() - 5));
            QVERIFY(visits.isEmpty());
            QVERIFY(form->isLoaded());

            doubleClick(view->viewport(), view->visualRect(view->model()->index(2, 1)).center());
        }));
        QCOMPARE(visits.size(), 1);
        QCOMPARE(visits[0].sCodigo, QStringLiteral("1"));  // Marta, the third
        QVERIFY(visits[0].resultsGone);
        QVERIFY(!resultsVisible());

        // The record selector before a row chooses that row.
        QVERIFY(withResults(QStringLiteral("m"), [](Form* form) {
            QHeaderView* selector = grid(form)->verticalHeader();
            doubleClick(selector->viewport(),
                        QPoint(selector->width() / 2, selector->sectionViewportPosition(3) +
                                                          selector->sectionSize(3) / 2));
        }));
        QCOMPARE(visits.size(), 2);
        QCOMPARE(visits[1].sCodigo, QStringLiteral("6"));  // miguel, the fourth
    }

    void noMatchHandsOverEmptyCode() {
        makeBook(kBook);
        orvmod::sCodigo = QStringLiteral("7");
        QVERIFY(withResults(QStringLiteral("zz"), [](Form* form) {
            QCOMPARE(grid(form)->model()->rowCount(), 0);
            QCOMPARE(codigo(form), QString());
            QTest::mouseClick(button(form, "cbOk"), Qt::LeftButton);
        }));
        QCOMPARE(visits.size(), 1);
        QCOMPARE(visits[0].sCodigo, QString());

        // A record source other than the table has no query: an empty list too.
        QVERIFY(withResults(
            [] {
                orvmod::sFiltro = QString();
                orvmod::sOrigen = QStringLiteral("registros");
                return Form::Show(QStringLiteral("frmsecond"));
            },
            [](Form* form) {
                QCOMPARE(grid(form)->model()->rowCount(), 0);
                QCOMPARE(codigo(form), QString());
            }));
        QVERIFY(MsgBoxSeam::log().isEmpty());
    }

    void cancelAndCloseBoxKeepCode() {
        makeBook(kBook);
        orvmod::sCodigo = QStringLiteral("42");
        QVERIFY(withResults(QString(), [](Form* form) {
            QTest::mouseClick(button(form, "cbCancelar"), Qt::LeftButton);
            QVERIFY(!form->isLoaded());
        }));
        QVERIFY(withResults(QString(), [](Form* form) {
            form->close();
            QVERIFY(!form->isLoaded());
        }));
        QVERIFY(visits.isEmpty());
        QCOMPARE(orvmod::sCodigo, QStringLiteral("42"));
        QVERIFY(!resultsVisible());
    }

    void gridRefusesChanges() {
        makeBook(kBook);
        const std::string before = storetest::fileBytes(book_);
        QVERIFY(withResults(QString(), [](Form* form) {
            QTableView* view = grid(form);
            QAbstractItemModel* model = view->model();
            const QStringList shown = column(form);
            view->setFocus();
            QTest::keyClick(view, Qt::Key_F2);
            QTest::keyClicks(view, "xy");
            QTest::keyClick(view, Qt::Key_Delete);
            QTest::keyClick(view, Qt::Key_Backspace);
            QTest::keyClick(view, Qt::Key_Insert);
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                              view->visualRect(model->index(1, 1)).center());
            QTest::keyClick(view, Qt::Key_F2);
            QVERIFY(!view->viewport()->findChild<QLineEdit*>());
            QVERIFY(!(model->flags(model->index(1, 1)) & Qt::ItemIsEditable));
            QVERIFY(!model->setData(model->index(1, 1), "Pepe"));
            QVERIFY(!model->insertRows(0, 1));
            QVERIFY(!model->removeRows(0, 1));
            QCOMPARE(column(form), shown);
            QVERIFY(form->isLoaded());
        }));
        QCOMPARE(storetest::fileBytes(book_), before);
    }

    void keys() {
        makeBook(kBook);
        // Enter at once acts on Cancelar.
        QVERIFY(withResults(QString(), [](Form* form) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            QVERIFY(!form->isLoaded());
        }));
        QVERIFY(visits.isEmpty());

        QVERIFY(withResults(QStringLiteral("m"), [](Form* form) {
            QTableView* view = grid(form);
            // Esc is nobody's: neither on the buttons nor on the grid.
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            QVERIFY(form->isVisible());
            // Tab order: Cancelar, Ok, the grid.
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), button(form, "cbOk"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), view);
            QTest::keyClick(view, Qt::Key_Escape);
            QVERIFY(form->isVisible());
            // Arrows move between cells; the code follows the row.
            QTest::keyClick(view, Qt::Key_Down);
            QTest::keyClick(view, Qt::Key_Down);
            QTest::keyClick(view, Qt::Key_Right);
            QCOMPARE(view->currentIndex().row(), 2);
            QCOMPARE(view->currentIndex().column(), 1);
            QCOMPARE(codigo(form), QStringLiteral("1"));
            QTest::keyClick(view, Qt::Key_Up);
            QCOMPARE(codigo(form), QStringLiteral("9"));
            // Tab leaves the grid instead of moving to the next cell.
            QTest::keyClick(view, Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), button(form, "cbCancelar"));
            QCOMPARE(view->currentIndex().column(), 1);
            QTest::mouseClick(button(form, "cbOk"), Qt::LeftButton);
        }));
        QCOMPARE(visits.size(), 1);
        QCOMPARE(visits[0].sCodigo, QStringLiteral("9"));  // mario
    }

    void readsLazilyAndReachesTheEnd() {
        std::vector<orv::Value> names;
        const int count = 3000;
        for (int i = 1; i <= count; ++i)
            names.push_back(QStringLiteral("n%1").arg(i, 5, 10, QLatin1Char('0')).toStdString());
        makeBook(names);

        QVERIFY(withResults(QString(), [&](Form* form) {
            QTableView* view = grid(form);
            // Not the whole result at open.
            QVERIFY(view->model()->rowCount() < count);
            QVERIFY(view->model()->canFetchMore({}));
            // Ctrl+End: the real last row, current and in view.
            view->setFocus();
            QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
            QCOMPARE(view->model()->rowCount(), count);
            QCOMPARE(view->currentIndex().row(), count - 1);
            QCOMPARE(codigo(form), QString::number(count));
            QVERIFY(rowVisible(view, count - 1));
            QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
            QCOMPARE(codigo(form), QStringLiteral("1"));
        }));

        QVERIFY(withResults(QString(), [&](Form* form) {
            QTableView* view = grid(form);
            QScrollBar* bar = view->verticalScrollBar();
            const int atOpen = view->model()->rowCount();
            // Scrolling to the bottom by other means reads one more page only.
            bar->setValue(bar->maximum());
            QVERIFY(view->model()->rowCount() > atOpen);
            QVERIFY(view->model()->rowCount() < count);
            // The thumb dragged to the bottom reaches the real end.
            bar->setSliderDown(true);
            bar->setValue(bar->maximum() - 1);
            bar->setValue(bar->maximum());
            QCOMPARE(view->model()->rowCount(), count);
            QCOMPARE(bar->value(), bar->maximum());
            bar->setSliderDown(false);
            view->viewport()->grab();
            QVERIFY(rowVisible(view, count - 1));
            // Scrolling leaves the current row where it was.
            QCOMPARE(codigo(form), QStringLiteral("1"));
        }));

        // "Bottom" from the scroll bar's own menu.
        QVERIFY(withResults(QString(), [&](Form* form) {
            QTableView* view = grid(form);
            view->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
            QTRY_COMPARE(view->model()->rowCount(), count);
            QTRY_VERIFY(rowVisible(view, count - 1));
        }));
    }

    void invalidPatternUnloadsAndGoesOn() {
        makeBook(kBook);
        for (const QString& filtro : {QStringLiteral("[a"), QStringLiteral("[z-a]")}) {
            MsgBoxSeam::reset();
            MsgBoxSeam::queueAnswer(vbOK);
            QVERIFY(!withResults(filtro, [](Form*) {}));
            QCOMPARE(MsgBoxSeam::prompts().size(), 1);
            QVERIFY2(MsgBoxSeam::prompts()[0].startsWith(
                         QStringLiteral("Error %1: ").arg(orv::kErrInvalidPattern)),
                     qPrintable(MsgBoxSeam::prompts()[0]));
            QVERIFY(!Form::instance(QStringLiteral("frmsecond")));
            QVERIFY(!resultsVisible());
            QVERIFY(!programEnding());
            QVERIFY(endings_.isEmpty());
        }
        // The program goes on: the next list opens.
        QVERIFY(
            withResults(QStringLiteral("m"), [](Form* form) { QCOMPARE(column(form).size(), 4); }));
    }

    void missingBookEndsProgram() {
        MsgBoxSeam::queueAnswer(vbOK);
        QVERIFY(!withResults(QString(), [](Form*) {}));
        QCOMPARE(MsgBoxSeam::prompts().size(), 1);
        QVERIFY(MsgBoxSeam::prompts()[0].startsWith(
            QStringLiteral("Error %1: ").arg(orv::kErrFileNotFound)));
        QCOMPARE(endings_, QList<int>{1});
        QVERIFY(!QFile::exists(dir_->filePath(QStringLiteral("orv.mdb"))));  // nothing created
    }

    // The book changes under an open list (here its table goes): the grid shows
    // what it can and the engine's message comes once, not once per cell.
    void readFailureIsReportedOnce() {
        std::vector<orv::Value> names;
        for (int i = 0; i < 600; ++i) names.push_back(storetest::numbered("Nombre ", 1000 + i));
        makeBook(names);
        for (int i = 0; i < 4; ++i) MsgBoxSeam::queueAnswer(vbOK);
        QVERIFY(withResults(QString(), [&](Form* form) {
            orv::Database::open(book_)->exec("DROP TABLE Registros");
            QTableView* view = grid(form);
            view->scrollTo(view->model()->index(view->model()->rowCount() - 1, 0));
            view->viewport()->grab();
            QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
            view->viewport()->grab();
            QTRY_COMPARE(MsgBoxSeam::prompts().size(), 1);
            QVERIFY(MsgBoxSeam::prompts()[0].startsWith(QStringLiteral("Error ")));
            QTest::qWait(20);
            QCOMPARE(MsgBoxSeam::prompts().size(), 1);
            QVERIFY(form->isVisible());
            QTest::mouseClick(button(form, "cbCancelar"), Qt::LeftButton);
        }));
    }

    void fromMainWindowByAccessKey() {
        makeBook(kBook);
        Form* main = Form::ShowStartup(QStringLiteral("frmmain"));
        QVERIFY(main);
        QVERIFY(QTest::qWaitForWindowActive(main));
        QTest::mouseClick(main->findChild<QAbstractButton*>(QStringLiteral("cbPorLetra")),
                          Qt::LeftButton);
        bool listed = false;
        QVERIFY(withResults(
            [&] {
                QTest::keyClick(main, Qt::Key_M, Qt::AltModifier);
                return true;
            },
            [&](Form* form) {
                QCOMPARE(column(form), (QStringList{"Manuel", "mario", "Marta", "miguel"}));
                listed = true;
                QTest::mouseClick(button(form, "cbCancelar"), Qt::LeftButton);
            }));
        QVERIFY(listed);
        QVERIFY(main->isLoaded());
        QTRY_COMPARE(QApplication::activeWindow(), main);
        QVERIFY(endings_.isEmpty());
    }

  private:
    // Opens the results window by `open` (which leads to a modal Show, and
    // returns false when the window cannot come any more) and runs `inside`
    // once it is shown and active. A window left open is unloaded, so that a
    // failing test cannot hang. Returns whether the window came up.
    bool withResults(const std::function<bool()>& open, const std::function<void(Form*)>& inside);
    bool withResults(const QString& filtro, const std::function<void(Form*)>& inside);
    void makeBook(const std::vector<orv::Value>& names);

    QScopedPointer<QTemporaryDir> dir_;
    std::string book_;
    QList<int> endings_;
};

void TestResults::makeBook(const std::vector<orv::Value>& names) {
    book_ = storetest::makeBook(*dir_, names);
}

bool TestResults::withResults(const std::function<bool()>& open,
                              const std::function<void(Form*)>& inside) {
    bool came = false;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, [&] {
        Form* form = Form::instance(QStringLiteral("frmsecond"));
        const bool ready = form && form->isVisible() && QApplication::activeWindow() == form;
        if (!ready && clock.elapsed() < 5000) return;
        poll.stop();
        if (!form) return;
        came = true;
        QPointer<Form> alive(form);
        if (ready) inside(form);
        if (alive && alive->isLoaded()) alive->Unload();
    });
    poll.start();
    // A key's click may come a moment later (buttons animate access keys).
    if (open() && !QTest::qWaitFor([&] { return !poll.isActive(); }, 6000))
        qWarning("the results window did not come");
    return came;
}

bool TestResults::withResults(const QString& filtro, const std::function<void(Form*)>& inside) {
    return withResults(
        [&] {
            orvmod::sFiltro = filtro;
            orvmod::sOrigen = QStringLiteral("Registros");
            return Form::Show(QStringLiteral("frmsecond"));
        },
        inside);
}

QTEST_MAIN(TestResults)
#include "tst_results.moc"
