#include "tools/orvane-db/cli.h"

#include <sstream>

namespace orv::db {

namespace {

struct Shape {
    std::vector<std::string> required, optional;  // argument names, in order
    std::map<std::string, bool> options;          // name -> takes a value
};

bool isName(const std::string& w) {
    if (w.empty()) return false;
    for (char c : w)
        if (!(c >= 'A' && c <= 'Z') && c != '_') return false;
    return true;
}

Shape shapeOf(const std::string& usage) {
    std::vector<std::string> words;
    std::istringstream in(usage);
    for (std::string w; in >> w;) words.push_back(w);
    Shape s;
    int depth = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string w = words[i];
        std::size_t open = 0, close = 0;
        while (open < w.size() && w[open] == '[') ++open;
        while (close < w.size() - open && w[w.size() - 1 - close] == ']') ++close;
        depth += static_cast<int>(open);
        const std::string core = w.substr(open, w.size() - open - close);
        if (core.rfind("--", 0) == 0) {
            const bool value = close == 0 && i + 1 < words.size() && words[i + 1][0] != '[' &&
                               words[i + 1][0] != '-';
            s.options[core] = value;
            if (value) {
                const std::string& v = words[++i];
                for (std::size_t k = v.size(); k > 0 && v[k - 1] == ']'; --k) ++close;
            }
        } else if (isName(core)) {
            (depth > 0 ? s.optional : s.required).push_back(core);
        }
        depth -= static_cast<int>(close);
    }
    return s;
}

}  // namespace

bool asksForHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

Invocation parseArguments(const std::string& usage, const std::vector<std::string>& args) {
    const Shape shape = shapeOf(usage);
    Invocation inv;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            inv.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t eq = a.find('=');
        // Only the name is ever repeated back: a value may be a password
        // given where it does not belong.
        const std::string name = a.substr(0, eq);
        auto known = shape.options.find(name);
        if (known == shape.options.end()) throw UsageError("opción desconocida: " + name);
        if (!known->second) {
            if (eq != std::string::npos) throw UsageError("la opción " + name + " no lleva valor");
            inv.options[name].clear();
        } else if (eq != std::string::npos) {
            inv.options[name] = a.substr(eq + 1);
        } else {
            if (i + 1 >= args.size()) throw UsageError("falta el valor de " + name);
            inv.options[name] = args[++i];
        }
    }
    const std::size_t n = inv.positional.size();
    if (n < shape.required.size()) throw UsageError("falta " + shape.required[n]);
    if (n > shape.required.size() + shape.optional.size())
        throw UsageError("sobra el argumento «" +
                         inv.positional[shape.required.size() + shape.optional.size()] + "»");
    return inv;
}

}  // namespace orv::db
