// orvane-db: creates, fills, lists, imports and exports contact books.
// The command line read against the command table (table.cpp), the help,
// and the failures said in one form; each command is in a file of its own.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "store/atomicfile.h"
#include "store/background.h"
#include "store/engine.h"
#include "store/syserror.h"
#include "tools/orvane-db/cli.h"
#include "tools/orvane-db/commands.h"

#ifndef ORV_VERSION
#define ORV_VERSION "0.90"
#endif

namespace {

using orv::db::Command;
using orv::db::Console;
using orv::db::UsageError;

constexpr const char* kProgram = "orvane-db";

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

void describe(std::ostream& out, const char* indent, const char* text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) out << indent << line << "\n";
}

void help(std::ostream& out) {
    out << "Uso:\n";
    for (const Command& c : orv::db::commandTable()) {
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
        const Command* c = args.size() > 1 ? orv::db::findCommand(args[1]) : nullptr;
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
    const Command* c = orv::db::findCommand(name);
    if (!c)
        return wrongUse(con.err, nullptr,
                        (name.rfind("-", 0) == 0 ? "opción desconocida: " : "orden desconocida: ") +
                            name.substr(0, name.find('=')));
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (orv::db::asksForHelp(rest)) {
        commandHelp(con.out, *c);
        return 0;
    }
    if (c->pace == orv::db::Pace::kInBackground) orv::runInBackground();
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
    // An output cut short by Ctrl-C leaves no temporary file behind.
    orv::AtomicFile::removeOnSignals();
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
