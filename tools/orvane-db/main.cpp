// orvane-db: creates, fills, lists, imports and exports contact books.
// The commands and their argument handling; the work is in the orv_dbtool
// library.

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "store/engine.h"
#include "store/syserror.h"
#include "tools/orvane-db/cli.h"
#include "tools/orvane-db/commands.h"
#include "tools/orvane-db/history.h"
#include "tools/orvane-db/sync.h"

#ifndef ORV_VERSION
#define ORV_VERSION "0.90"
#endif

namespace {

using orv::db::Console;
using orv::db::Invocation;
using orv::db::UsageError;

constexpr const char* kProgram = "orvane-db";
constexpr std::size_t kMaxDemo = 50'000'000;

// Starts every line written through it with "orvane-db: ", so that whatever
// a command reports reads in one form.
class PrefixedLines : public std::streambuf {
  public:
    explicit PrefixedLines(std::streambuf* to) : to_(to) {}

  protected:
    int overflow(int ch) override {
        if (ch == traits_type::eof()) return traits_type::not_eof(ch);
        if (atLineStart_) {
            const std::string prefix = std::string(kProgram) + ": ";
            to_->sputn(prefix.data(), static_cast<std::streamsize>(prefix.size()));
        }
        atLineStart_ = ch == '\n';
        return to_->sputc(static_cast<char>(ch));
    }
    int sync() override { return to_->pubsync(); }

  private:
    std::streambuf* to_;
    bool atLineStart_ = true;
};

template <typename T>
std::optional<T> number(const std::string& s) {
    T value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return value;
}

std::optional<orv::db::Format> chooseFormat(const Invocation& a, const std::string& path, bool in) {
    using orv::exchange::Format;
    const char* formats = in ? "csv, vcard, ldif o abook" : "csv o vcard";
    std::optional<Format> f;
    if (auto name = a.value("--format")) {
        f = orv::exchange::formatFromName(*name);
        if (!f || (!in && *f != Format::Csv && *f != Format::VCard))
            throw UsageError("formato desconocido: " + *name + " (use " + formats + ")");
        return f;
    }
    f = orv::exchange::formatFromPath(path);
    struct stat sb;
    if (!f && in && ::stat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode)) {
        // A file whose name says nothing: its first line may (a device or a
        // pipe is refused by the import itself, at once).
        if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
            char head[4096];
            const std::size_t n = std::fread(head, 1, sizeof head, file);
            std::fclose(file);
            f = orv::exchange::formatFromText(std::string_view(head, n));
        }
    }
    if (!f || (!in && *f != Format::Csv && *f != Format::VCard))
        throw UsageError("no se sabe el formato de " + path + ": use --format (" + formats + ")");
    return f;
}

int init(const Invocation& a, const Console& con) {
    orv::db::initBook(a.positional[0]);
    con.out << "Agenda vacía creada en " << a.positional[0] << "\n";
    return 0;
}

int demo(const Invocation& a, const Console& con) {
    auto n = number<std::size_t>(a.positional[1]);
    if (!n || *n > kMaxDemo)
        throw UsageError("número de contactos no válido: " + a.positional[1] +
                         " (de 0 a 50000000)");
    std::uint64_t seed = 1;
    if (auto s = a.value("--seed")) {
        auto parsed = number<std::uint64_t>(*s);
        if (!parsed) throw UsageError("semilla no válida: " + *s);
        seed = *parsed;
    }
    orv::db::demoBook(a.positional[0], *n, seed, con);
    return 0;
}

int list(const Invocation& a, const Console&) {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    orv::db::listBook(a.positional[0], a.positional[1], stdout);
    return 0;
}

int check(const Invocation& a, const Console& con) {
    return orv::db::checkBook(a.positional[0], con) == 0 ? 0 : 1;
}

int reindex(const Invocation& a, const Console& con) {
    orv::db::reindexBook(a.positional[0], con);
    return 0;
}

int import(const Invocation& a, const Console& con) {
    orv::db::checkInput(a.positional[1]);
    const auto format = chooseFormat(a, a.positional[1], true);
    const auto r = orv::db::importBook(
        a.positional[0], a.positional[1],
        {*format, a.has("--dry-run"), a.has("--keep-duplicates"), a.has("--skip-bad")}, con);
    return r.ok ? 0 : 1;
}

int exportTo(const Invocation& a, const Console& con) {
    const auto format = chooseFormat(a, a.positional[1], false);
    orv::db::exportBook(a.positional[0], a.positional[1], *format, con);
    return 0;
}

// One row a command: its help, manual page and completion are made from
// these rows, and its arguments are read as its usage line says.
struct Command {
    const char* name;
    const char* usage;        // what follows "orvane-db NAME"
    const char* description;  // one or more lines
    int (*run)(const Invocation&, const Console&);
};

const Command kCommands[] = {
    {"init", "ARCHIVO", "crea una agenda vacía (nunca sobrescribe un archivo existente)", init},
    {"demo", "ARCHIVO N [--seed S]",
     "crea una agenda con N contactos de ejemplo (los mismos para la misma S)", demo},
    {"list", "ARCHIVO PREFIJO",
     "lista los contactos cuyo nombre empieza por PREFIJO (\"\" para todos), como la\n"
     "ventana de resultados",
     list},
    {"check", "ARCHIVO",
     "comprueba la agenda (integridad, forma de la tabla, claves de orden); estado 0 si\n"
     "está bien, 1 si no",
     check},
    {"reindex", "ARCHIVO",
     "rehace las claves de orden (y convierte una agenda del formato anterior)", reindex},
    {"import",
     "ARCHIVO ENTRADA [--format csv|vcard|ldif|abook] [--dry-run] [--keep-duplicates] "
     "[--skip-bad]",
     "añade los contactos de ENTRADA (.csv, .vcf, .ldif o el archivo addressbook de\n"
     "abook); todo o nada, salvo con --skip-bad",
     import},
    {"export", "ARCHIVO SALIDA [--format csv|vcard]",
     "escribe todos los contactos en SALIDA (.csv o .vcf), que no debe existir", exportTo},
    {"sync",
     "ARCHIVO [URL] [--user NOMBRE] [--address-book NOMBRE] [--password-file F] [--ca-file F] "
     "[--fingerprint HUELLA] [--save-password] [--allow-http] [--other-address-book] "
     "[--allow-deletions] [--dry-run]",
     "sincroniza en los dos sentidos con una libreta CardDAV del servidor URL (sin URL,\n"
     "la de la última vez); la contraseña, de F (solo legible por usted), de\n"
     "ORVANE_CARDDAV_PASSWORD, del llavero del escritorio o preguntada; --save-password\n"
     "la guarda en el llavero; un certificado que el sistema no reconoce se acepta con\n"
     "--fingerprint y su huella SHA-256, y se recuerda; no borra todos los contactos de\n"
     "un lado, ni más de la mitad, sin --allow-deletions",
     orv::db::syncCommand},
    {"history", "ARCHIVO [CODIGO] [--deleted]",
     "los cambios, del último al primero, con su momento, clase, origen y campos; con\n"
     "CODIGO, la historia de ese contacto; con --deleted, los contactos borrados",
     orv::db::historyCommand},
    {"restore", "ARCHIVO CODIGO [--at MOMENTO]",
     "devuelve un contacto borrado con su código, o un contacto como estaba en MOMENTO",
     orv::db::restoreCommand},
    {"undo", "ARCHIVO --to MOMENTO [--dry-run]",
     "devuelve toda la agenda a como estaba en MOMENTO («2026-12-07 14:30», «hace 2\n"
     "horas»), en una transacción",
     orv::db::undoCommand},
    {"backup", "ARCHIVO [DESTINO]",
     "copia coherente de la agenda aunque esté abierta (sin DESTINO, en copias/ junto a\n"
     "ella)",
     orv::db::backupCommand},
    {"forget", "ARCHIVO CODIGO [--yes]",
     "borra para siempre un contacto (aunque ya esté borrado) y todo rastro de él: su\n"
     "historia, su tarjeta guardada y sus datos en las copias; pide confirmación en la\n"
     "terminal (--yes para no preguntar)",
     orv::db::forgetCommand},
};

const Command* find(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

void describe(std::ostream& out, const char* indent, const char* text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) out << indent << line << "\n";
}

void help(std::ostream& out) {
    out << "Uso:\n";
    for (const Command& c : kCommands) {
        out << "  " << kProgram << " " << c.name << " " << c.usage << "\n";
        describe(out, "      ", c.description);
    }
    out << "  " << kProgram << " ORDEN --help\n"
        << "      explica una orden y sus opciones\n"
        << "  " << kProgram << " --version\n"
        << "      escribe la versión del programa\n"
        << "Estado de salida:\n"
        << "0: la orden ha hecho su trabajo.\n"
        << "1: la orden ha fallado; el mensaje dice por qué.\n"
        << "2: se ha usado mal (una orden, una opción o un valor que no se entiende).\n"
        << "Cada mensaje va a la salida de errores con la forma «orvane-db: texto».\n";
}

void commandHelp(std::ostream& out, const Command& c) {
    out << "Uso: " << kProgram << " " << c.name << " " << c.usage << "\n";
    describe(out, "  ", c.description);
}

// A wrong use: what is wrong, how the command is used, and where to read more.
int wrongUse(std::ostream& err, const Command* c, const std::string& problem) {
    err << problem << "\n";
    if (c) err << "uso: " << kProgram << " " << c->name << " " << c->usage << "\n";
    err << "pruebe «" << kProgram << (c ? std::string(" ") + c->name : std::string()) << " --help»"
        << " para más información\n";
    return orv::db::kWrongUse;
}

// An engine's message ("No se encuentra el archivo 'x'.") as a line after
// the program's name.
std::string asLine(std::string text) {
    if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

int run(const std::vector<std::string>& args, const Console& con) {
    if (args.empty()) return wrongUse(con.err, nullptr, "falta la orden");
    const std::string& name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        const Command* c = args.size() > 1 ? find(args[1]) : nullptr;
        if (c)
            commandHelp(con.out, *c);
        else
            help(con.out);
        return 0;
    }
    if (name == "--version") {
        con.out << kProgram << " " << ORV_VERSION << "\n";
        return 0;
    }
    const Command* c = find(name);
    if (!c)
        return wrongUse(con.err, nullptr,
                        (name.rfind("-", 0) == 0 ? "opción desconocida: " : "orden desconocida: ") +
                            name.substr(0, name.find('=')));
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (orv::db::asksForHelp(rest)) {
        commandHelp(con.out, *c);
        return 0;
    }
    try {
        return c->run(orv::db::parseArguments(c->usage, rest), con);
    } catch (const UsageError& e) {
        return wrongUse(con.err, c, e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    PrefixedLines prefixed(std::cerr.rdbuf());
    std::ostream err(&prefixed);
    const Console con{std::cout, err, isatty(fileno(stderr)) != 0};
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return run(args, con);
    } catch (const orv::EngineError& e) {
        std::fflush(stdout);
        err << asLine(e.text()) << "\n";
    } catch (const std::filesystem::filesystem_error& e) {
        std::fflush(stdout);
        err << "no se puede usar " << e.path1().string() << ": "
            << orv::systemErrorText(e.code().value()) << "\n";
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        err << "no hay memoria suficiente\n";
    } catch (const std::exception& e) {
        std::fflush(stdout);
        err << asLine(e.what()) << "\n";
    }
    return orv::db::kFailed;
}
