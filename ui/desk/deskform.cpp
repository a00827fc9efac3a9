#include "ui/desk/deskform.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QProgressBar>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "store/background.h"
#include "store/engine.h"

namespace orv::ui::desk {

// ---- Task ----------------------------------------------------------------

Task::Task(QObject* parent) : QObject(parent) {}

Task::~Task() {
    cancel();
    wait();
}

void Task::start(std::function<void(Task&)> work) {
    wait();
    cancel_ = false;
    done_ = total_ = 0;
    error_.clear();
    setStage(QString());
    running_ = true;
    thread_ = QThread::create([this, work = std::move(work)] {
        orv::runInBackground();  // the windows keep the processor first
        QString error;
        try {
            work(*this);
        } catch (const Cancelled&) {
        } catch (const orv::EngineError& e) {
            error = QStringLiteral("Error %1: %2")
                        .arg(e.number())
                        .arg(QString::fromStdString(e.text()));
        } catch (const std::exception& e) {
            error = QString::fromStdString(e.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, error] {
                error_ = error;
                running_ = false;
                if (thread_) {
                    thread_->wait();
                    delete thread_;
                    thread_ = nullptr;
                }
                emit finished();
            },
            Qt::QueuedConnection);
    });
    thread_->start();
}

void Task::setStage(const QString& stage) {
    std::lock_guard<std::mutex> lock(stageLock_);
    stage_ = stage;
}

QString Task::stage() const {
    std::lock_guard<std::mutex> lock(stageLock_);
    return stage_;
}

void Task::wait() {
    if (!thread_) return;
    thread_->wait();
    delete thread_;
    thread_ = nullptr;
    running_ = false;
}

// ---- ProgressPanel -------------------------------------------------------

ProgressPanel::ProgressPanel(QWidget* parent)
    : QWidget(parent),
      bar_(new QProgressBar(this)),
      line_(new QLabel(this)),
      timer_(new QTimer(this)) {
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    bar_->setObjectName(QStringLiteral("barProgreso"));
    bar_->setAccessibleName(QStringLiteral("Progreso"));
    bar_->setTextVisible(true);
    line_->setObjectName(QStringLiteral("lblProgreso"));
    line_->setWordWrap(true);
    box->addWidget(bar_);
    box->addWidget(line_);
    // Often enough that the count moves at every tick, seldom enough to
    // leave the thread its time.
    timer_->setInterval(40);
    connect(timer_, &QTimer::timeout, this, [this] { tick(); });
    bar_->installEventFilter(this);
    line_->installEventFilter(this);
    hide();
}

void ProgressPanel::follow(Task* task, const QString& unit) {
    task_ = task;
    unit_ = unit;
    longestGap_ = 0;
    sincePaint_.invalidate();
    bar_->setRange(0, 0);
    bar_->setValue(0);
    line_->clear();
    show();
    timer_->start();
    tick();
}

void ProgressPanel::stop() {
    timer_->stop();
    task_.clear();
    hide();
}

void ProgressPanel::tick() {
    if (!task_) return;
    const qint64 done = task_->done(), total = task_->total();
    QString text = task_->stage();
    if (total > 0) {
        // In thousandths, so that the bar moves between two whole percents.
        bar_->setRange(0, 1000);
        bar_->setValue(int(std::clamp<qint64>(done * 1000 / total, 0, 1000)));
        const QLocale es(QLocale::Spanish, QLocale::Spain);
        QString count =
            unit_ == QLatin1String("bytes")
                ? QStringLiteral("%1 %").arg(es.toString(done * 100.0 / total, 'f', 1))
                : QStringLiteral("%1 de %2 %3").arg(es.toString(done), es.toString(total), unit_);
        text = text.isEmpty() ? count : text + QStringLiteral(": ") + count;
    } else {
        bar_->setRange(0, 0);  // how much is not known yet: the bar runs to and fro
    }
    if (task_->cancelled()) text = QStringLiteral("Cancelando…");
    line_->setText(text);
}

bool ProgressPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Paint && timer_->isActive()) {
        if (sincePaint_.isValid()) longestGap_ = std::max(longestGap_, sincePaint_.elapsed());
        sincePaint_.start();
    }
    return QWidget::eventFilter(watched, event);
}

// ---- DeskForm ------------------------------------------------------------

DeskForm::DeskForm(const QString& kind, const QString& title) : Form(kind) {
    setWindowTitle(title);
    setAccessibleName(title);
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Window);
    layout_ = new QVBoxLayout(this);
}

void DeskForm::setDefaultButton(QPushButton* button) {
    if (default_) default_->setDefault(false);
    default_ = button;
    if (button) button->setDefault(true);
}

DeskButton::DeskButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setAutoDefault(false);
}

void DeskButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !(event->modifiers() & ~Qt::KeypadModifier)) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

DeskButton* DeskForm::addButton(const QString& name, const QString& caption,
                                std::function<void()> handler) {
    auto* button = new DeskButton(caption, this);
    button->setObjectName(name);
    button->setAutoDefault(false);
    if (handler) onClick(button, std::move(handler));
    return button;
}

QLabel* DeskForm::addText(const QString& name, const QString& text) {
    auto* label = new QLabel(text, this);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

void DeskForm::finishLayout(int minWidth) {
    // Wide enough for its texts in the desktop's font, whatever its size.
    const int em = fontMetrics().averageCharWidth();
    const QSize hint = sizeHint();
    resize(std::max({hint.width(), minWidth, em * 60}), hint.height());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect placed = frameGeometry();
        placed.moveCenter(screen->availableGeometry().center());
        move(placed.topLeft());
    }
}

void DeskForm::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) &&
        !(event->modifiers() & ~(Qt::KeypadModifier))) {
        if (default_ && default_->isEnabled() && default_->isVisible()) {
            default_->click();
            return;
        }
    }
    if (key == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (cancel_ && cancel_->isEnabled() && cancel_->isVisible()) {
            cancel_->click();
            return;
        }
    }
    Form::keyPressEvent(event);
}

// ---- Texts ---------------------------------------------------------------

QString plural(qint64 n, const QString& one, const QString& many) {
    const QLocale es(QLocale::Spanish, QLocale::Spain);
    return es.toString(n) + QLatin1Char(' ') + (n == 1 ? one : many);
}

QString momentText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

QString contactName(const orv::Contact& c) {
    QStringList parts;
    for (std::size_t col : {orv::kNombre, orv::kApellido})
        if (c[col] && !c[col]->empty()) parts << QString::fromStdString(*c[col]);
    return parts.isEmpty() ? QStringLiteral("(sin nombre)") : parts.join(QLatin1Char(' '));
}

}  // namespace orv::ui::desk
