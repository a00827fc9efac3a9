#include "tools/orvane-db/commands.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "exchange/card.h"
#include "exchange/csv.h"
#include "exchange/import.h"
#include "exchange/properties.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/ascii.h"
#include "store/collation.h"
#include "store/contact.h"
#include "store/contactquery.h"
#include "store/datacontrol.h"
#include "store/dates.h"
#include "store/engine.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/schema.h"
#include "store/sql.h"
#include "store/syserror.h"
#include "sync/mapping.h"
#include "tools/orvane-db/demo.h"
#include "tools/orvane-db/progress.h"

namespace orv::db {

using namespace orv::exchange;

namespace {

// What failed, and why in the system's words (in Spanish): "no se puede leer
// x.csv: permiso denegado". Callers take errno before building the text.
ToolError systemFailure(const std::string& what, int err) {
    return ToolError(what + ": " + systemErrorText(err));
}

bool exists(const std::string& path) {
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

void refuseExisting(const std::string& path) {
    if (exists(path)) throw ToolError("el archivo " + path + " ya existe; no se sobrescribe");
}

std::string readFile(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) {
        const int e = errno;
        throw systemFailure("no se puede leer " + path, e);
    }
    std::string data;
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) data.append(buffer, n);
    if (std::ferror(f.get())) {
        const int e = errno;
        throw systemFailure("no se puede leer " + path, e);
    }
    return data;
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "José Pérez, 21/03/1975" for messages.
std::string describe(const Contact& c) {
    std::string s;
    for (std::size_t col : {kNombre, kApellido})
        if (c[col] && !c[col]->empty()) s += (s.empty() ? "" : " ") + *c[col];
    if (s.empty()) s = "(sin nombre)";
    if (c[kFecha] && !c[kFecha]->empty()) s += ", " + displayFromIso(*c[kFecha]);
    return s;
}

// A listed field: tab, line breaks and backslash as \t \n \r \\, and every
// other control character, or byte that is not UTF-8, as \xHH or \uHHHH, so
// that nothing in a book can drive the user's terminal.
void appendListed(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        const char32_t c = collation::decodeNext(s, i);
        if (c == '\t' || c == '\n' || c == '\r' || c == '\\') {
            out += '\\';
            out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
        } else if (c == collation::kBadByte || c < 0x20 || c == 0x7F) {
            const auto b = static_cast<unsigned char>(s[start]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        } else if (c >= 0x80 && c <= 0x9F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out.append(s.substr(start, i - start));
        }
    }
}

// Removes an export's temporary file when a signal ends the program, then
// lets the signal do what it would have done.
char gPendingTemp[4096];
extern "C" void removePendingTemp(int sig) {
    if (gPendingTemp[0]) ::unlink(gPendingTemp);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}
class SignalCleanup {
  public:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    explicit SignalCleanup(const std::string& path) {
        set(path);
        struct sigaction sa {};
        sa.sa_handler = removePendingTemp;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &sa, &old_[i]);
    }
    ~SignalCleanup() {
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &old_[i], nullptr);
        gPendingTemp[0] = '\0';
    }
    SignalCleanup(const SignalCleanup&) = delete;
    SignalCleanup& operator=(const SignalCleanup&) = delete;
    // Takes the name mkstemp chose.
    void set(const std::string& path) {
        if (path.size() >= sizeof gPendingTemp) return;
        std::memcpy(gPendingTemp, path.c_str(), path.size() + 1);
    }

  private:
    struct sigaction old_[std::size(kSignals)]{};
};

void removeBook(const std::string& path) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
}

}  // namespace

void initBook(const std::string& path) {
    refuseExisting(path);
    Database::create(path);
}

void demoBook(const std::string& path, std::size_t count, std::uint64_t seed, const Console& con) {
    refuseExisting(path);
    auto db = Database::create(path);
    try {
        sqlite3* h = db->handle();

        // Rank of every possible name in the book's own order, so that rows
        // can go in sorted: the key index then grows at its end only.
        const auto& names = DemoGenerator::nameChoices();
        std::vector<std::pair<std::string, std::uint32_t>> keyed;
        for (std::size_t i = 0; i < names.size(); ++i)
            keyed.emplace_back(names[i] ? collation::sortKey(*names[i]) : std::string(),
                               static_cast<std::uint32_t>(i));
        std::sort(keyed.begin(), keyed.end());
        std::vector<std::uint32_t> rank(names.size());
        for (std::uint32_t r = 0; r < keyed.size(); ++r) rank[keyed[r].second] = r;

        // Counting sort of the rows by their name's rank (stable: equal names
        // keep row order).
        DemoGenerator gen(seed);
        std::vector<std::uint16_t> nameOfRow(count);
        std::vector<std::size_t> start(names.size() + 1, 0);
        for (std::size_t row = 0; row < count; ++row) {
            nameOfRow[row] = static_cast<std::uint16_t>(gen.nameOf(row));
            ++start[rank[nameOfRow[row]] + 1];
        }
        for (std::size_t r = 1; r < start.size(); ++r) start[r] += start[r - 1];
        std::vector<std::uint32_t> order(count);
        for (std::size_t row = 0; row < count; ++row)
            order[start[rank[nameOfRow[row]]]++] = static_cast<std::uint32_t>(row);
        std::vector<std::uint16_t>().swap(nameOfRow);

        Progress progress("contactos", count, con.progress ? stderr : nullptr);
        sql::WriteTransaction tx(h);
        ContactInserter ins(h);
        for (std::size_t i = 0; i < count; ++i) {
            ins.insert(gen.contact(order[i]));
            if ((i & 1023) == 0) progress.update(i);
        }
        progress.update(count);
        keys::refresh(h);
        tx.commit();
        progress.finish();
    } catch (...) {
        db.reset();
        removeBook(path);
        throw;
    }
    con.out << plural(count, "contacto creado", "contactos creados") << " en " << path << "\n";
}

std::size_t listBook(const std::string& path, const std::string& prefix, std::FILE* out) {
    auto db = Database::open(path);
    // Enough cache for the B-trees' inner pages; leaf pages are read once.
    db->exec("PRAGMA cache_size = -512");
    // One read transaction for the whole listing: one lock instead of one
    // per row read, and every row from the same state of the book.
    sql::ReadTransaction snapshot(db->handle());
    auto q = db->openQuery(*contactQuery(prefix, std::string(schema::kTable)));

    const std::vector<std::string>& fields = q->fieldNames();
    // Each fetch is a seek of its own; large pages keep that cost small, and
    // only keys (8 bytes a row) are held.
    constexpr std::size_t kPage = 4096;
    std::size_t row = 0;
    std::string line;
    for (;;) {
        if (row >= q->rowsFetched() && (!q->canFetchMore() || q->fetchMore(kPage) == 0)) break;
        line.clear();
        for (std::size_t f = 0; f < fields.size(); ++f) {
            if (f) line += '\t';
            const Value v = q->valueAt(row, static_cast<int>(f));
            if (v) appendListed(line, fieldText(fields[f], v));
        }
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) {
            const int e = errno;
            throw systemFailure("no se puede escribir el listado", e);
        }
        ++row;
    }
    if (std::fflush(out) != 0) {
        const int e = errno;
        throw systemFailure("no se puede escribir el listado", e);
    }
    return row;
}

std::size_t checkBook(const std::string& path, const Console& con) {
    auto db = Database::open(path, false);
    const std::vector<std::string> problems = keys::problems(db->handle());
    for (const std::string& p : problems) con.err << path << ": " << p << "\n";
    if (problems.empty()) con.out << "La agenda " << path << " está bien.\n";
    std::int64_t bytes = 0;
    const std::int64_t changes = history::size(db->handle(), bytes);
    con.out << "Historia: " << changes << (changes == 1 ? " cambio, " : " cambios, ")
            << (bytes + 1023) / 1024 << " KB\n";
    return problems.size();
}

void reindexBook(const std::string& path, const Console& con) {
    auto db = Database::open(path);
    // What keeps it from writing is said as it is (a full disk is not a lock).
    keys::prepare(db->handle(), true, false);
    sql::Statement count(db->handle(), "SELECT count(*) FROM main.Registros");
    count.step();
    con.out << plural(static_cast<std::size_t>(count.int64(0)), "contacto reordenado",
                      "contactos reordenados")
            << " en " << path << "\n";
}

ImportResult importBook(const std::string& path, const std::string& input,
                        const ImportOptions& options, const Console& con) {
    const std::string data = readFile(input);
    // Read and mapped first: the book is not touched (nor locked) until the
    // whole file is understood.
    Reading reading;
    {
        Progress progress("bytes", data.size(), con.progress ? stderr : nullptr);
        reading =
            readContacts(data, options.format, [&](std::size_t bytes) { progress.update(bytes); });
    }
    constexpr std::size_t kShown = 20;  // messages of each kind before a summary
    const auto where = [&](long line) {
        return printable(input) + ":" + std::to_string(line) + ": ";
    };
    ImportResult result;
    result.problems = reading.problems.size();
    for (std::size_t i = 0; i < std::min(kShown, reading.problems.size()); ++i)
        con.err << where(reading.problems[i].line) << printable(reading.problems[i].reason) << "\n";
    if (result.problems > kShown)
        con.err << "... y " << plural(result.problems - kShown, "error", "errores") << " más\n";
    if (result.problems > 0 && !options.skipBad) {
        con.err << "no se ha importado nada: " << plural(result.problems, "error", "errores")
                << " en " << printable(input) << " (--skip-bad importa el resto)\n";
        return result;
    }

    auto db = Database::open(path);
    const auto written =
        importContacts(db->handle(), reading.contacts, {options.dryRun, options.keepDuplicates});
    result.imported = written.imported;
    if (!written.copy.empty()) con.out << "Copia de la agenda de antes en " << written.copy << "\n";
    result.duplicates = written.duplicates.size();
    // A dry run is for looking: it names every contact, not the first few.
    const std::size_t shown = options.dryRun ? SIZE_MAX : kShown;
    if (options.dryRun)
        for (const exchange::Located* item : written.listed)
            con.out << where(item->line) << "se importaría: " << printable(describe(item->contact))
                    << "\n";
    const auto list = [&](const std::vector<exchange::Match>& matches, const char* what,
                          const char* many, const char* tail) {
        for (std::size_t i = 0; i < std::min(shown, matches.size()); ++i) {
            const auto& m = matches[i];
            con.err << where(m.item->line) << what << ": " << printable(describe(m.item->contact))
                    << " (como el código " << m.code << " de la agenda)" << tail << "\n";
        }
        if (matches.size() > shown)
            con.err << "... y " << plural(matches.size() - shown, what, many) << " más\n";
    };
    list(written.duplicates, "repetido", "repetidos",
         options.keepDuplicates ? " (se importa igualmente)" : " (se omite)");
    list(written.lookalikes, "posible repetido", "posibles repetidos", " (se importa)");
    if (reading.groups)
        con.err << plural(reading.groups, "grupo omitido", "grupos omitidos")
                << " (son listas, no contactos)\n";
    if (result.problems)
        con.err << plural(result.problems, "registro omitido", "registros omitidos")
                << " por errores\n";
    result.ok = true;
    con.out << (options.dryRun
                    ? plural(result.imported, "contacto para importar", "contactos para importar")
                    : plural(result.imported, "contacto importado", "contactos importados"))
            << ", " << plural(result.duplicates, "repetido", "repetidos");
    if (!written.lookalikes.empty())
        con.out << ", "
                << plural(written.lookalikes.size(), "posible repetido", "posibles repetidos");
    con.out << "\n";
    if (!reading.assumedOrder.empty())
        con.out << "Las fechas del archivo no dicen si el día va antes que el mes: se leen como "
                << reading.assumedOrder << ", como escribe el idioma de su cabecera\n";
    // Where every kind of property went: nothing is left out without a word.
    for (const auto& [name, fate] : reading.fates) {
        std::string parts;
        const auto part = [&parts](std::size_t n, const char* one, const char* many) {
            if (n) parts += (parts.empty() ? "" : ", ") + plural(n, one, many);
        };
        part(fate.field, "a su campo", "a su campo");
        part(fate.info, "a Mas info", "a Mas info");
        part(fate.aside, "guardada aparte", "guardadas aparte");
        if (!parts.empty()) con.out << "  " << printable(name) << ": " << parts << "\n";
    }
    const auto aside = std::count_if(reading.fates.begin(), reading.fates.end(),
                                     [](const auto& f) { return f.second.aside > 0; });
    if (aside)
        con.out
            << "Lo guardado aparte (fotos, claves, X-...) vuelve a salir al exportar como vCard "
               "y al sincronizar\n";
    return result;
}

std::size_t exportBook(const std::string& path, const std::string& output, Format format,
                       const Console& con) {
    refuseExisting(output);
    auto db = Database::open(path);
    sqlite3* h = db->handle();
    std::size_t total = 0;
    {
        sql::Statement count(h, "SELECT count(*) FROM " + std::string(schema::kTable));
        if (count.step()) total = static_cast<std::size_t>(count.int64(0));
    }
    ContactCursor contacts(h);

    // Written beside the output as a file with no name, linked into place
    // only when complete: an interrupted export never leaves a short file
    // that looks whole, nor a temporary one (the system drops it with the
    // process), and the output's name gets no suffix that could make it too
    // long. Where the file system cannot do that, a short temporary name is
    // used, removed also when a signal ends the export.
    const std::filesystem::path parent = std::filesystem::path(output).parent_path();
    const std::string dir = parent.empty() ? std::string(".") : parent.string();
    std::string temp;
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    std::optional<SignalCleanup> cleanup;
    if (fd < 0) {
        temp = dir + "/.orvane-XXXXXX";
        cleanup.emplace(temp);
        fd = ::mkstemp(temp.data());
        if (fd >= 0) {
            cleanup->set(temp);
            const mode_t mask = ::umask(0);
            ::umask(mask);
            ::fchmod(fd, 0666 & ~mask);
        }
    }
    if (fd < 0) {
        const int e = errno;
        throw systemFailure("no se puede crear " + output, e);
    }
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        const int e = errno;
        ::close(fd);
        if (!temp.empty()) ::unlink(temp.c_str());
        throw systemFailure("no se puede crear " + output, e);
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    std::size_t written = 0;
    try {
        auto write = [&](const std::string& s) {
            if (std::fwrite(s.data(), 1, s.size(), f) != s.size()) {
                const int e = errno;
                throw systemFailure("no se puede escribir " + output, e);
            }
        };
        Progress progress("contactos", total, con.progress ? stderr : nullptr);
        if (format == Format::Csv) write(csvHeader());
        Contact c;
        std::size_t moved = 0, unwritten = 0, unwrittenContacts = 0;
        exchange::KeptReader kept(h);
        while (contacts.next(c)) {
            bool movedDate = false;
            const std::vector<std::string> lines = kept.of(std::stoll(*c[kCodigo]));
            if (format == Format::Csv) {
                // A CSV has no place for a photo or an X- line: say how many stay behind.
                const auto n = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                    return exchange::keptAside(l);
                });
                unwritten += static_cast<std::size_t>(n);
                unwrittenContacts += n > 0;
            }
            write(format == Format::Csv ? csvRecord(c, &movedDate)
                                        : sync::cardFromContact(c, {}, lines));
            if (movedDate && ++moved <= 20)
                con.err << "código " << *c[kCodigo] << ": la fecha de nacimiento \""
                        << printable(*c[kFecha]) << "\" no es una fecha; va en Mas info\n";
            if ((++written & 1023) == 0) progress.update(written);
        }
        progress.finish();
        if (moved > 20) con.err << "... y " << moved - 20 << " fechas más en Mas info\n";
        if (unwritten)
            con.err << "el CSV no puede llevar " << plural(unwritten, "propiedad", "propiedades")
                    << " de " << plural(unwrittenContacts, "contacto", "contactos")
                    << " (fotos, claves, GEO, TZ, X-...): quedan en la agenda; expórtela como "
                       "vCard para llevarlas\n";
        if (std::fflush(f) != 0 || ::fsync(fileno(f)) != 0) {
            const int e = errno;
            throw systemFailure("no se puede escribir " + output, e);
        }
        int err = 0;
        if (temp.empty()) {
            // Linking never replaces a file that appeared meanwhile.
            const std::string self = "/proc/self/fd/" + std::to_string(fileno(f));
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, output.c_str(), AT_SYMLINK_FOLLOW) != 0)
                err = errno;
            if (err == EEXIST) refuseExisting(output);
        }
        const int closed = std::fclose(f);
        f = nullptr;
        if (closed != 0 && !err) err = errno;
        if (!temp.empty() && !err &&
            ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, output.c_str(), RENAME_NOREPLACE) != 0) {
            err = errno;
            if (err == EINVAL || err == ENOSYS) {
                // A file system without the no-replace move: check, then move.
                refuseExisting(output);
                err = std::rename(temp.c_str(), output.c_str()) == 0 ? 0 : errno;
            }
            if (err == EEXIST) refuseExisting(output);
        }
        if (err) throw systemFailure("no se puede crear " + output, err);
    } catch (...) {
        if (f) std::fclose(f);
        if (!temp.empty()) ::unlink(temp.c_str());
        throw;
    }
    con.out << plural(written, "contacto exportado", "contactos exportados") << " a " << output
            << "\n";
    return written;
}

}  // namespace orv::db
