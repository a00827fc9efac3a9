#include "ui/desk/importing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <stdexcept>

#include "exchange/import.h"
#include "exchange/stream.h"
#include "store/engine.h"
#include "store/history.h"
#include "store/syserror.h"
#include "ui/desk/deskform.h"

namespace orv::ui::desk {

namespace {

constexpr int kLinesKept = 500;  // lines of detail a window shows
constexpr int kProblemsKept = 20;

std::string describe(const Contact& c) {
    return contactName(c).toStdString();
}

// Only a regular file, which can be read twice.
int openInput(const QString& file) {
    const QByteArray path = QFile::encodeName(file);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        throw std::runtime_error("No se puede leer " + file.toStdString() + ": " +
                                 systemErrorText(e));
    }
    struct stat sb;
    if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        ::close(fd);
        throw std::runtime_error(file.toStdString() +
                                 (S_ISDIR(sb.st_mode) ? " es una carpeta"
                                                      : " no es un archivo normal (es un "
                                                        "dispositivo, una tubería o un zócalo): "
                                                        "solo se importa de archivos"));
    }
    return fd;
}

exchange::Format formatOf(const QString& file, int fd) {
    if (auto f = exchange::formatFromPath(QFile::encodeName(file).toStdString())) return *f;
    char head[4096];
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    if (n > 0)
        if (auto f = exchange::formatFromText(std::string_view(head, static_cast<std::size_t>(n))))
            return *f;
    throw std::runtime_error("No se sabe de qué formato es " + file.toStdString() +
                             ": se importan vCard (.vcf), CSV (.csv), LDIF (.ldif) y abook");
}

}  // namespace

ImportSummary importFile(Task& task, const QString& book, const QString& file, bool dryRun,
                         bool skipBad) {
    ImportSummary s;
    s.dryRun = dryRun;
    const int fd = openInput(file);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const exchange::Format format = formatOf(file, fd);
    struct stat sb;
    ::fstat(fd, &sb);
    s.size = sb.st_size;
    const std::string name = QFileInfo(file).fileName().toStdString();
    exchange::FileSource source(fd, exchange::printable(name));
    exchange::FileReading reading(source, format);

    task.setStage(QStringLiteral("Leyendo el archivo"));
    const qint64 total = 2 * std::max<qint64>(s.size, 1);
    exchange::Reading checked;
    checked.problemLimit = kProblemsKept;
    reading.check(checked, [&](std::size_t bytes) {
        task.progress(static_cast<qint64>(bytes), total);
        task.check();
    });
    s.problems = static_cast<qint64>(checked.problemCount);
    for (const exchange::Problem& p : checked.problems)
        s.problemLines << QStringLiteral("línea %1: %2")
                              .arg(p.line)
                              .arg(QString::fromStdString(exchange::printable(p.reason)));
    s.contacts = static_cast<qint64>(checked.contactCount);
    if (s.problems > 0 && !skipBad && !dryRun)
        throw std::runtime_error("No se ha importado nada: hay registros que no se pueden leer");

    task.setStage(dryRun ? QStringLiteral("Comparando con la agenda")
                         : QStringLiteral("Importando"));
    auto db = Database::open(book.toStdString());
    // The history's moments come from SQLite's clock through a julian day,
    // which may land a millisecond early: a little margin.
    s.startedMs = history::nowMs() - 2;
    exchange::Importer importer(db->handle(), {dryRun, false}, checked.contactCount);
    s.copy = QString::fromStdString(importer.copy());
    exchange::Reading again;
    again.problemLimit = 0;
    const auto line = [&](const exchange::Located& item, const QString& what) {
        if (s.lines.size() < kLinesKept)
            s.lines << QStringLiteral("línea %1: %2: %3")
                           .arg(item.line)
                           .arg(what, QString::fromStdString(
                                          exchange::printable(describe(item.contact))));
    };
    // Progress by the contacts done, not by the bytes read: the file is read
    // a megabyte ahead of the import, which takes a third of a second to
    // catch up, and the bar would stand still meanwhile.
    const qint64 expected = std::max<qint64>(s.contacts, 1);
    qint64 done = 0;
    again.sink = [&](exchange::Located&& item) {
        if (++done % 64 == 0) {
            task.progress(s.size + s.size * std::min(done, expected) / expected, total);
            task.check();
        }
        const exchange::Importer::Outcome o = importer.add(item);
        using K = exchange::Importer::Kind;
        if (o.kind == K::Duplicate) {
            ++s.duplicates;
            line(item, QStringLiteral("repetido, como el código %1 (no se importa)").arg(o.code));
        } else if (o.kind == K::Lookalike) {
            ++s.lookalikes;
            line(item,
                 QStringLiteral("posible repetido, como el código %1 (se importa)").arg(o.code));
        }
        if (!o.written) return;
        ++s.fresh;
        if (o.kind == K::New)
            line(item, dryRun ? QStringLiteral("se importaría") : QStringLiteral("importado"));
    };
    const bool same = reading.read(again, [&](std::size_t) { task.check(); });
    if (!same)
        throw std::runtime_error(name +
                                 " ha cambiado mientras se importaba; no se ha importado nada");
    task.setStage(dryRun ? QString() : QStringLiteral("Guardando"));
    if (!dryRun) task.progress(0, 0);  // how long the disk takes is not known: the bar runs
    importer.commit();
    s.groups = static_cast<qint64>(again.groups);
    s.fates = again.fates;
    s.assumedOrder = QString::fromStdString(again.assumedOrder);
    task.progress(total, total);
    return s;
}

}  // namespace orv::ui::desk
