// orvane-db: creates, fills, lists, imports and exports contact books.
// Argument handling only; the work is in the orv_dbtool library.

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "store/engine.h"
#include "tools/orvane-db/commands.h"
#include "tools/orvane-db/history.h"
#include "tools/orvane-db/sync.h"

namespace {

constexpr const char* kUsage =
    "Uso:\n"
    "  orvane-db init ARCHIVO\n"
    "      crea una agenda vacía (nunca sobrescribe un archivo existente)\n"
    "  orvane-db demo ARCHIVO N [--seed S]\n"
    "      crea una agenda con N contactos de ejemplo (los mismos para la misma S)\n"
    "  orvane-db list ARCHIVO PREFIJO\n"
    "      lista los contactos cuyo nombre empieza por PREFIJO, como la ventana de resultados\n"
    "  orvane-db check ARCHIVO\n"
    "      comprueba la agenda (integridad, forma de la tabla, claves de orden); estado 0 si "
    "está bien\n"
    "  orvane-db reindex ARCHIVO\n"
    "      rehace las claves de orden (y convierte una agenda del formato anterior)\n"
    "  orvane-db import ARCHIVO ENTRADA [--format csv|vcard|ldif|abook] [--dry-run] "
    "[--keep-duplicates] [--skip-bad]\n"
    "      añade los contactos de ENTRADA (.csv, .vcf, .ldif o el archivo addressbook de\n"
    "      abook); todo o nada, salvo con --skip-bad\n"
    "  orvane-db export ARCHIVO SALIDA [--format csv|vcard]\n"
    "      escribe todos los contactos en SALIDA (.csv o .vcf), que no debe existir\n"
    "  orvane-db sync ARCHIVO URL --user NOMBRE [--password-file F] [--ca-file F] [--dry-run]\n"
    "  orvane-db sync ARCHIVO\n"
    "      sincroniza en los dos sentidos con la libreta CardDAV URL (sin URL, la de la\n"
    "      última vez); la contraseña, de F, de ORVANE_CARDDAV_PASSWORD o preguntada;\n"
    "      no borra la mayoría de los contactos de un lado sin --allow-deletions\n"
    "  orvane-db history ARCHIVO [CÓDIGO] [--deleted]\n"
    "      los cambios, del último al primero (de un contacto; o los contactos borrados)\n"
    "  orvane-db restore ARCHIVO CÓDIGO [--at MOMENTO]\n"
    "      devuelve un contacto borrado, o uno como estaba en MOMENTO\n"
    "  orvane-db undo ARCHIVO --to MOMENTO [--dry-run]\n"
    "      devuelve toda la agenda a como estaba en MOMENTO (\"2026-12-07 14:30\", \"hace 2 "
    "horas\")\n"
    "  orvane-db backup ARCHIVO [DESTINO]\n"
    "      copia coherente de la agenda aunque esté abierta (sin DESTINO, en copias/)\n";

constexpr std::size_t kMaxDemo = 50'000'000;

int usage(const std::string& problem = {}) {
    if (!problem.empty()) std::cerr << "orvane-db: " << problem << "\n";
    std::cerr << kUsage;
    return 2;
}

template <typename T>
std::optional<T> number(const std::string& s) {
    T value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return value;
}

// Options anywhere after the command: "--name value", "--name=value" or a
// flag; every other argument is positional.
struct Options {
    std::optional<std::string> format, seed;
    bool dryRun = false, keepDuplicates = false, skipBad = false;
    std::vector<std::string> positional;
};

std::optional<std::string> parseOptions(const std::vector<std::string>& args,
                                        const std::vector<std::string>& allowed, Options& o) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) != 0) {
            o.positional.push_back(args[i]);
            continue;
        }
        std::string name = args[i], value;
        bool hasValue = false;
        if (auto eq = name.find('='); eq != std::string::npos && name.rfind("--", 0) == 0) {
            value = name.substr(eq + 1);
            name.erase(eq);
            hasValue = true;
        }
        bool known = false;
        for (const auto& a : allowed) known = known || a == name;
        if (!known) return "opción desconocida: " + args[i];
        if (name == "--dry-run" || name == "--keep-duplicates" || name == "--skip-bad") {
            if (hasValue) return "la opción " + name + " no lleva valor";
            (name == "--dry-run"    ? o.dryRun
             : name == "--skip-bad" ? o.skipBad
                                    : o.keepDuplicates) = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) return "falta el valor de " + name;
            value = args[++i];
        }
        (name == "--format" ? o.format : o.seed) = value;
    }
    return std::nullopt;
}

std::optional<orv::db::Format> chooseFormat(const Options& o, const std::string& path, bool in,
                                            std::string& problem) {
    using orv::exchange::Format;
    const char* formats = in ? "csv, vcard, ldif o abook" : "csv o vcard";
    std::optional<Format> f;
    if (o.format) {
        f = orv::exchange::formatFromName(*o.format);
        if (!f || (!in && *f != Format::Csv && *f != Format::VCard)) {
            problem = "formato desconocido: " + *o.format + " (use " + formats + ")";
            return std::nullopt;
        }
        return f;
    }
    f = orv::exchange::formatFromPath(path);
    if (!f && in) {
        // A file whose name says nothing: its first line may.
        if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
            char head[4096];
            const std::size_t n = std::fread(head, 1, sizeof head, file);
            std::fclose(file);
            f = orv::exchange::formatFromText(std::string_view(head, n));
        }
    }
    if (!f || (!in && *f != Format::Csv && *f != Format::VCard)) {
        problem = "no se sabe el formato de " + path + ": use --format (" + formats + ")";
        return std::nullopt;
    }
    return f;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    const std::string& cmd = args[0];
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        std::cout << kUsage;
        return 0;
    }
    const orv::db::Console con{std::cout, std::cerr, isatty(fileno(stderr)) != 0};
    Options o;

    if (cmd == "init") {
        if (args.size() != 2) return usage("init necesita un archivo");
        orv::db::initBook(args[1]);
        std::cout << "Agenda vacía creada en " << args[1] << "\n";
        return 0;
    }
    if (cmd == "demo") {
        if (auto p = parseOptions(args, {"--seed"}, o)) return usage(*p);
        if (o.positional.size() != 2)
            return usage("demo necesita un archivo y un número de contactos");
        auto n = number<std::size_t>(o.positional[1]);
        if (!n || *n > kMaxDemo)
            return usage("número de contactos no válido: " + o.positional[1] +
                         " (de 0 a 50000000)");
        std::uint64_t seed = 1;
        if (o.seed) {
            auto s = number<std::uint64_t>(*o.seed);
            if (!s) return usage("semilla no válida: " + *o.seed);
            seed = *s;
        }
        orv::db::demoBook(o.positional[0], *n, seed, con);
        return 0;
    }
    if (cmd == "list") {
        if (args.size() != 3)
            return usage("list necesita un archivo y un prefijo (\"\" para todos)");
        static char buffer[1 << 16];
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        orv::db::listBook(args[1], args[2], stdout);
        return 0;
    }
    if (cmd == "check" || cmd == "reindex") {
        if (args.size() != 2) return usage(cmd + " necesita un archivo");
        if (cmd == "reindex") {
            orv::db::reindexBook(args[1], con);
            return 0;
        }
        return orv::db::checkBook(args[1], con) == 0 ? 0 : 1;
    }
    if (cmd == "import" || cmd == "export") {
        const bool in = cmd == "import";
        std::vector<std::string> allowed = {"--format"};
        if (in) allowed.insert(allowed.end(), {"--dry-run", "--keep-duplicates", "--skip-bad"});
        if (auto p = parseOptions(args, allowed, o)) return usage(*p);
        if (o.positional.size() != 2) return usage(cmd + " necesita la agenda y un archivo");
        const std::string& book = o.positional[0];
        const std::string& file = o.positional[1];
        std::string problem;
        auto format = chooseFormat(o, file, in, problem);
        if (!format) return usage(problem);
        if (!in) {
            orv::db::exportBook(book, file, *format, con);
            return 0;
        }
        auto r =
            orv::db::importBook(book, file, {*format, o.dryRun, o.keepDuplicates, o.skipBad}, con);
        return r.ok ? 0 : 1;
    }
    if (cmd == "sync") return orv::db::syncCommand(args, con);
    if (auto rc = orv::db::historyCommands(args, con)) return *rc;
    return usage("orden desconocida: " + cmd);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return run(args);
    } catch (const orv::EngineError& e) {
        std::fflush(stdout);
        std::cerr << "Error " << e.number() << ": " << e.text() << "\n";
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::cerr << "Error: " << e.what() << "\n";
    }
    return 1;
}
