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
#include "exchange/cardedit.h"
#include "exchange/csv.h"
#include "exchange/import.h"
#include "exchange/properties.h"
#include "exchange/stream.h"
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
#include "store/pattern.h"
#include "store/recordsets.h"
#include "store/schema.h"
#include "store/sql.h"
#include "store/syserror.h"
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

}  // namespace

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

namespace {

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
        exchange::refreshLookup(h);  // what an import compares, ready for the first one
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
    const std::string text = *contactQuery(prefix, std::string(schema::kTable));
    const detail::ParsedQuery parsed = detail::parseQuery(text);
    if (parsed.orderByName && !parsed.wholeTable) {
        // The results window's order and rows, in one statement that reads
        // each row once, in the key index's order (the record set pages its
        // keys and reads the rows again, as a window must).
        std::string select = "SELECT r.* FROM " + db->freshKeys() +
                             ".OrvClaves k CROSS JOIN main.Registros r ON r.Codigo = k.Codigo";
        std::optional<collation::KeyRange> range;
        bool tryName = false;
        if (parsed.pattern) {
            const Pattern compiled(*parsed.pattern);  // an invalid pattern fails here
            range = collation::prefixRange(compiled.prefixWeights());
            tryName = !compiled.matchesAll();
            select += " WHERE k.Clave >= ?2";
            if (range->hi) select += " AND k.Clave < ?3";
            if (tryName) select += " AND r.Nombre LIKE ?1";
        }
        sql::Statement rows(db->handle(), select + " ORDER BY k.Clave, k.Codigo");
        if (tryName) rows.bind(1, *parsed.pattern);
        if (range) rows.bindBlob(2, range->lo);
        if (range && range->hi) rows.bindBlob(3, *range->hi);
        const std::vector<std::string>& fields = db->columns();
        std::size_t n = 0;
        std::string line;
        while (rows.step()) {
            line.clear();
            for (std::size_t f = 0; f < fields.size(); ++f) {
                if (f) line += '\t';
                if (!rows.isNull(static_cast<int>(f)))
                    appendListed(line, fieldText(fields[f], rows.value(static_cast<int>(f))));
            }
            line += '\n';
            if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) {
                const int e = errno;
                throw systemFailure("no se puede escribir el listado", e);
            }
            ++n;
        }
        if (std::fflush(out) != 0) {
            const int e = errno;
            throw systemFailure("no se puede escribir el listado", e);
        }
        return n;
    }
    auto q = db->openQuery(text);

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

namespace {

// "644" for a mode's permission bits.
std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(mode & 0777));
    return text;
}

// Who besides the owner can reach a file or folder with this mode, in words;
// empty when no one.
std::string othersMay(mode_t mode) {
    const bool read = mode & (S_IRGRP | S_IROTH), write = mode & (S_IWGRP | S_IWOTH);
    if (read && write) return "leer y cambiar";
    if (read) return "leer";
    if (write) return "cambiar";
    return {};
}

// A path as a shell takes it: quoted unless plain.
std::string shellWord(const std::string& s) {
    if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789/._-+:,@%") == std::string::npos)
        return s;
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// What others can do with the book, its side files and its copies, and how
// to make them the owner's alone. Nothing is changed here.
std::vector<std::string> privacyProblems(const std::string& path) {
    std::vector<std::string> out;
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(path, ec);
    if (ec) real = std::filesystem::absolute(path);
    struct stat sb;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string f = real.string() + suffix;
        if (::stat(f.c_str(), &sb) != 0) continue;
        const std::string may = othersMay(sb.st_mode);
        if (may.empty()) continue;
        out.push_back("otros usuarios pueden " + may + " " +
                      (*suffix ? "su archivo " + f : std::string("la agenda")) + " (permisos " +
                      octal(sb.st_mode) + "); para que sea solo de usted: chmod 600 " +
                      shellWord(f));
    }
    const std::string copies = (real.parent_path() / "copias").string();
    if (::lstat(copies.c_str(), &sb) != 0) return out;
    if (S_ISLNK(sb.st_mode)) {
        out.push_back("la carpeta de copias " + copies +
                      " es un enlace simbólico: no se guardan copias ahí (quítelo o cámbielo de "
                      "nombre)");
        return out;
    }
    if (!S_ISDIR(sb.st_mode)) return out;
    if (const std::string may = othersMay(sb.st_mode); !may.empty())
        out.push_back("otros usuarios pueden " + may + " en la carpeta de copias " + copies +
                      " (permisos " + octal(sb.st_mode) +
                      "); para que sea solo de usted: chmod 700 " + shellWord(copies));
    std::size_t open = 0;
    for (const auto& e : std::filesystem::directory_iterator(copies, ec))
        if (::lstat(e.path().c_str(), &sb) == 0 && S_ISREG(sb.st_mode) &&
            !othersMay(sb.st_mode).empty())
            ++open;
    if (open)
        out.push_back("otros usuarios pueden leer " +
                      (open == 1 ? std::string("un archivo") : std::to_string(open) + " archivos") +
                      " de la carpeta de copias " + copies +
                      "; para que sean solo de usted: chmod "
                      "600 " +
                      shellWord(copies) + "/*");
    return out;
}

}  // namespace

std::size_t checkBook(const std::string& path, const Console& con) {
    auto db = Database::open(path, false);
    std::vector<std::string> problems = keys::problems(db->handle());
    for (std::string& p : privacyProblems(path)) problems.push_back(std::move(p));
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

namespace {

// The file to import, opened for reading: only a regular file, which can
// be read twice (once to check it, once to write it); a device or a pipe
// is refused at once.
void refuseNotAFile(const std::string& input, mode_t mode) {
    if (S_ISDIR(mode)) throw ToolError(printable(input) + " es una carpeta");
    throw ToolError(printable(input) +
                    " no es un archivo normal (es un dispositivo, una tubería o un zócalo): "
                    "solo se importa de archivos");
}

int openInput(const std::string& input) {
    const int fd = ::open(input.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        throw systemFailure("no se puede leer " + printable(input), e);
    }
    struct stat sb;
    if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        ::close(fd);
        refuseNotAFile(input, sb.st_mode);
    }
    return fd;
}

}  // namespace

void checkInput(const std::string& input) {
    struct stat sb;
    if (::stat(input.c_str(), &sb) == 0 && !S_ISREG(sb.st_mode) && !S_ISDIR(sb.st_mode))
        refuseNotAFile(input, sb.st_mode);
}

ImportResult importBook(const std::string& path, const std::string& input,
                        const ImportOptions& options, const Console& con) {
    const int fd = openInput(input);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat sb;
    ::fstat(fd, &sb);
    const std::uint64_t size = static_cast<std::uint64_t>(sb.st_size);
    exchange::FileSource source(fd, printable(input));
    exchange::FileReading file(source, options.format);

    constexpr std::size_t kShown = 20;  // messages of each kind before a summary
    const auto where = [&](long line) {
        return printable(input) + ":" + std::to_string(line) + ": ";
    };
    // Read and checked first, holding one record at a time: the book is not
    // touched (nor locked) until the whole file is understood.
    Reading checked;
    checked.problemLimit = kShown;
    {
        Progress progress("bytes", 2 * size, con.progress ? stderr : nullptr);
        file.check(checked, [&](std::size_t bytes) { progress.update(bytes); });
    }
    ImportResult result;
    result.problems = checked.problemCount;
    for (const Problem& p : checked.problems)
        con.err << where(p.line) << printable(p.reason) << "\n";
    if (result.problems > kShown)
        con.err << "... y " << plural(result.problems - kShown, "error", "errores") << " más\n";
    if (result.problems > 0 && !options.skipBad) {
        con.err << "no se ha importado nada: " << plural(result.problems, "error", "errores")
                << " en " << printable(input) << " (--skip-bad importa el resto)\n";
        return result;
    }

    auto db = Database::open(path);
    exchange::Importer importer(db->handle(), {options.dryRun, options.keepDuplicates},
                                checked.contactCount);
    if (!importer.copy().empty())
        con.out << "Copia de la agenda de antes en " << importer.copy() << "\n";
    // A dry run is for looking: it names every contact, not the first few,
    // as it meets them.
    const std::size_t shown = options.dryRun ? SIZE_MAX : kShown;
    struct Said {
        std::vector<std::string> lines;
        std::size_t count = 0;
    } duplicates, lookalikes;
    const auto note = [&](Said& said, const Located& item, std::int64_t code, const char* what,
                          const char* tail) {
        if (++said.count > shown) return;
        const std::string line = where(item.line) + what + ": " +
                                 printable(describe(item.contact)) + " (como el código " +
                                 std::to_string(code) + " de la agenda)" + tail + "\n";
        if (options.dryRun)
            con.err << line;
        else
            said.lines.push_back(line);
    };
    Reading again;
    again.problemLimit = 0;
    again.sink = [&](Located&& item) {
        const exchange::Importer::Outcome o = importer.add(item);
        if (o.kind == exchange::Importer::Kind::Duplicate)
            note(duplicates, item, o.code, "repetido",
                 options.keepDuplicates ? " (se importa igualmente)" : " (se omite)");
        if (o.kind == exchange::Importer::Kind::Lookalike)
            note(lookalikes, item, o.code, "posible repetido", " (se importa)");
        if (!o.written) return;
        ++result.imported;
        if (options.dryRun)
            con.out << where(item.line) << "se importaría: " << printable(describe(item.contact))
                    << "\n";
    };
    bool same;
    {
        Progress progress("bytes", 2 * size, con.progress ? stderr : nullptr);
        same = file.read(again, [&](std::size_t bytes) { progress.update(size + bytes); });
    }
    if (!same)
        throw ToolError(printable(input) +
                        " ha cambiado mientras se importaba; no se ha importado nada");
    importer.commit();
    result.duplicates = duplicates.count;
    for (const Said* said : {&duplicates, &lookalikes}) {
        for (const std::string& line : said->lines) con.err << line;
        if (said->count > shown)
            con.err << "... y "
                    << plural(said->count - shown,
                              said == &duplicates ? "repetido" : "posible repetido",
                              said == &duplicates ? "repetidos" : "posibles repetidos")
                    << " más\n";
    }
    if (again.groups)
        con.err << plural(again.groups, "grupo omitido", "grupos omitidos")
                << " (son listas, no contactos)\n";
    if (result.problems)
        con.err << plural(result.problems, "registro omitido", "registros omitidos")
                << " por errores\n";
    result.ok = true;
    con.out << (options.dryRun
                    ? plural(result.imported, "contacto para importar", "contactos para importar")
                    : plural(result.imported, "contacto importado", "contactos importados"))
            << ", " << plural(result.duplicates, "repetido", "repetidos");
    if (lookalikes.count)
        con.out << ", " << plural(lookalikes.count, "posible repetido", "posibles repetidos");
    con.out << "\n";
    if (!again.assumedOrder.empty())
        con.out << "Las fechas del archivo no dicen si el día va antes que el mes: se leen como "
                << again.assumedOrder << ", como escribe el idioma de su cabecera\n";
    // Where every kind of property went: nothing is left out without a word.
    for (const auto& [name, fate] : again.fates) {
        std::string parts;
        const auto part = [&parts](std::size_t n, const char* one, const char* many) {
            if (n) parts += (parts.empty() ? "" : ", ") + plural(n, one, many);
        };
        part(fate.field, "a su campo", "a su campo");
        part(fate.info, "a Mas info", "a Mas info");
        part(fate.aside, "guardada aparte", "guardadas aparte");
        if (!parts.empty()) con.out << "  " << printable(name) << ": " << parts << "\n";
    }
    const auto aside = std::count_if(again.fates.begin(), again.fates.end(),
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
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    std::optional<SignalCleanup> cleanup;
    if (fd < 0) {
        temp = dir + "/.orvane-XXXXXX";
        cleanup.emplace(temp);
        fd = ::mkstemp(temp.data());
        if (fd >= 0) cleanup->set(temp);
    }
    // The contacts are the owner's alone, whatever the umask.
    if (fd >= 0) ::fchmod(fd, 0600);
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
                                        : exchange::cardFromKept(c, {}, lines));
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
