#include "ui/toolkit/boxes.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QTextCursor>
#include <memory>

#include "store/datacontrol.h"

namespace orv::ui {

int charCount(QStringView text) {
    int n = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) ++i;
        ++n;
    }
    return n;
}

QString firstChars(QStringView text, int n) {
    qsizetype i = 0;
    for (int taken = 0; taken < n && i < text.size(); ++taken) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) ++i;
        ++i;
    }
    return text.left(i).toString();
}

namespace {

// Where `now` differs from `before`: the common head and tail lengths, never
// splitting a surrogate pair.
void commonEnds(const QString& before, const QString& now, qsizetype* head, qsizetype* tail) {
    const qsizetype shortest = qMin(before.size(), now.size());
    qsizetype h = 0;
    while (h < shortest && before[h] == now[h]) ++h;
    if (h > 0 && now[h - 1].isHighSurrogate()) --h;
    qsizetype t = 0;
    while (t < shortest - h && before[before.size() - 1 - t] == now[now.size() - 1 - t]) ++t;
    if (t > 0 && now[now.size() - t].isLowSurrogate()) --t;
    *head = h;
    *tail = t;
}

}  // namespace

QString limitEdit(const QString& before, const QString& now, int limit) {
    if (limit < 0 || charCount(now) <= limit) return now;
    qsizetype head = 0, tail = 0;
    commonEnds(before, now, &head, &tail);
    const QStringView inserted = QStringView(now).mid(head, now.size() - head - tail);
    if (inserted.isEmpty()) return now;  // only removed: never refused
    const QStringView removed = QStringView(before).mid(head, before.size() - head - tail);
    const int room = limit - (charCount(before) - charCount(removed));
    // No room at all: the key or the paste is refused, as a full box does.
    if (room <= 0) return before;
    return now.left(head) + firstChars(inserted, room) + now.right(tail);
}

namespace {

class EntryLimiter : public QObject {
  public:
    EntryLimiter(QLineEdit* box, int limit) : QObject(box), box_(box), limit_(limit) {
        last_ = box->text();
        // textChanged follows textEdited; read the box, since a correction
        // made in textEdited has already changed it.
        connect(box, &QLineEdit::textChanged, this, [this] { last_ = box_->text(); });
        connect(box, &QLineEdit::textEdited, this, [this](const QString& now) { edited(now); });
    }
    void setLimit(int limit) { limit_ = limit; }

  private:
    void edited(const QString& now) {
        const QString kept = limitEdit(last_, now, limit_);
        if (kept == now) return;
        qsizetype head = 0, tail = 0;
        commonEnds(last_, now, &head, &tail);
        // The cursor ends after what was inserted, or where the refused edit began.
        const qsizetype cursor = kept == last_ ? head : kept.size() - tail;
        box_->setText(kept);
        box_->setCursorPosition(int(qBound<qsizetype>(0, cursor, kept.size())));
        box_->setModified(true);
    }

    QLineEdit* box_;
    int limit_;
    QString last_;
};

}  // namespace

void setEntryLimit(QLineEdit* box, int limit) {
    // No meta-object of its own, so findChild would take any child for it.
    for (QObject* child : box->children()) {
        if (auto* limiter = dynamic_cast<EntryLimiter*>(child)) {
            limiter->setLimit(limit);
            return;
        }
    }
    new EntryLimiter(box, limit);
}

// ---- MultiLineBox --------------------------------------------------------

MultiLineBox::MultiLineBox(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

void MultiLineBox::setValue(const QString& text) {
    lineBreak_ =
        text.contains(QLatin1String("\r\n")) ? QStringLiteral("\r\n") : QStringLiteral("\n");
    setPlainText(text);
}

QString MultiLineBox::value() const {
    QString text = toPlainText();
    if (lineBreak_ != QLatin1String("\n")) text.replace(QLatin1Char('\n'), lineBreak_);
    return text;
}

int MultiLineBox::room() const {
    const int held = charCount(toPlainText());
    const int selected = charCount(textCursor().selectedText());
    return limit_ - (held - selected);
}

void MultiLineBox::keyPressEvent(QKeyEvent* event) {
    if (limit_ >= 0 && !(event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))) {
        QString typed = event->text();
        const bool lineBreak = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        bool inserts = lineBreak;
        if (!lineBreak && !typed.isEmpty()) {
            inserts = true;
            for (QChar c : typed) inserts = inserts && (c.isPrint() || c.isSurrogate());
        }
        if (inserts) {
            if (lineBreak) typed = QStringLiteral("\n");
            const int left = room();
            if (charCount(typed) > left) {
                if (left > 0 && !lineBreak) textCursor().insertText(firstChars(typed, left));
                event->accept();
                return;
            }
        }
    }
    QPlainTextEdit::keyPressEvent(event);
}

void MultiLineBox::inputMethodEvent(QInputMethodEvent* event) {
    const QString commit = event->commitString();
    if (limit_ >= 0 && !commit.isEmpty() && charCount(commit) > room()) {
        QInputMethodEvent cut(event->preeditString(), event->attributes());
        cut.setCommitString(firstChars(commit, qMax(0, room())), event->replacementStart(),
                            event->replacementLength());
        QPlainTextEdit::inputMethodEvent(&cut);
        return;
    }
    QPlainTextEdit::inputMethodEvent(event);
}

void MultiLineBox::insertFromMimeData(const QMimeData* source) {
    if (limit_ >= 0 && source && source->hasText()) {
        const QString text = source->text();
        const int left = room();
        if (charCount(text) > left) {
            if (left > 0) textCursor().insertText(firstChars(text, left));
            return;
        }
    }
    QPlainTextEdit::insertFromMimeData(source);
}

// ---- Binding -------------------------------------------------------------

void bindBox(orv::DataControl& data, const std::string& field,
             std::function<void(const QString&)> set, std::function<QString()> get) {
    struct Shown {
        std::string stored;  // the field's text as the data control gave it
        QString read;        // what the box read right after showing it
    };
    auto shown = std::make_shared<Shown>();
    orv::DataControl::Binding binding;
    binding.field = field;
    binding.show = [shown, set, get](const std::string& text) {
        shown->stored = text;
        set(QString::fromStdString(text));
        shown->read = get ? get() : QString();
    };
    if (get) {
        binding.text = [shown, get] {
            const QString now = get();
            return now == shown->read ? shown->stored : now.toStdString();
        };
    }
    data.bind(std::move(binding));
}

}  // namespace orv::ui
