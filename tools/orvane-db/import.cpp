// orvane-db import: another program's file into the book, all or nothing.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "exchange/card.h"
#include "exchange/import.h"
#include "exchange/stream.h"
#include "store/dates.h"
#include "store/engine.h"
#include "store/handles.h"
#include "tools/orvane-db/common.h"
#include "tools/orvane-db/progress.h"

namespace orv::db {

using namespace orv::exchange;

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

Fd openInput(const std::string& input) {
    Fd fd(::open(input.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        const int e = errno;
        throw systemFailure("no se puede leer " + printable(input), e);
    }
    struct stat sb;
    if (::fstat(fd.get(), &sb) != 0 || !S_ISREG(sb.st_mode)) refuseNotAFile(input, sb.st_mode);
    return fd;
}

// Refuses at once an input that is a device, a pipe or a socket: only a
// regular file can be read twice, as the import reads it.
void checkInput(const std::string& input) {
    struct stat sb;
    if (::stat(input.c_str(), &sb) == 0 && !S_ISREG(sb.st_mode) && !S_ISDIR(sb.st_mode))
        refuseNotAFile(input, sb.st_mode);
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

struct ImportOptions {
    Format format = Format::Csv;
    bool dryRun = false;
    bool keepDuplicates = false;
    bool skipBad = false;  // import the readable records when some are not
};
struct ImportResult {
    bool ok = false;             // false: something could not be read, nothing imported
    std::size_t imported = 0;    // written (or, on a dry run, that would be)
    std::size_t duplicates = 0;  // equal in every field to a contact already in the book
    std::size_t problems = 0;
};

// All or nothing, in one transaction, unless skipBad. The file is read
// twice, never held whole: once to check it, once to write it.
ImportResult importBook(const std::string& path, const std::string& input,
                        const ImportOptions& options, const Console& con) {
    const Fd fd = openInput(input);
    struct stat sb;
    ::fstat(fd.get(), &sb);
    const std::uint64_t size = static_cast<std::uint64_t>(sb.st_size);
    exchange::FileSource source(fd.get(), printable(input));
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

}  // namespace

int importCommand(const Invocation& a, const Console& con) {
    checkInput(a.positional[1]);
    const Format format = chooseFormat(a, a.positional[1], true);
    const ImportResult r = importBook(
        a.positional[0], a.positional[1],
        {format, a.has("--dry-run"), a.has("--keep-duplicates"), a.has("--skip-bad")}, con);
    return r.ok ? kDone : kFailed;
}

}  // namespace orv::db
