#include "sync/keyring.h"

// libsecret rather than QtKeychain: its synchronous calls need neither an
// event loop nor a window, so the command line, the timer and a window
// share them as they are, and it talks to the Secret Service directly
// (QtKeychain goes through libsecret itself on this desktop, or falls back
// to other stores we do not want).
#include <libsecret/secret.h>

namespace orv::sync::keyring {

namespace {

const SecretSchema* schema() {
    static const SecretSchema s = [] {
        SecretSchema x{};
        x.name = "org.orvane.CardDAV";
        x.flags = SECRET_SCHEMA_NONE;
        x.attributes[0] = {"server", SECRET_SCHEMA_ATTRIBUTE_STRING};
        x.attributes[1] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return x;
    }();
    return &s;
}

// libsecret's and D-Bus's own texts are English: the user reads ours.
std::string failed(GError* error, const char* what) {
    g_error_free(error);
    return std::string("no se puede ") + what +
           " en el llavero del escritorio (no hay ninguno en marcha, o está cerrado y nadie "
           "puede abrirlo)";
}

}  // namespace

Lookup find(const std::string& server, const std::string& user) {
    GError* error = nullptr;
    gchar* password = secret_password_lookup_sync(schema(), nullptr, &error, "server",
                                                  server.c_str(), "user", user.c_str(), nullptr);
    if (error) return {std::nullopt, failed(error, "buscar la contraseña")};
    if (!password) return {};
    Lookup out{std::string(password), {}};
    secret_password_free(password);  // wiped before it is freed
    return out;
}

std::string store(const std::string& server, const std::string& user, const std::string& password) {
    GError* error = nullptr;
    const std::string label = "Orvane: contraseña de " + user + " en " + server;
    secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(),
                               nullptr, &error, "server", server.c_str(), "user", user.c_str(),
                               nullptr);
    return error ? failed(error, "guardar la contraseña") : std::string();
}

std::string forget(const std::string& server, const std::string& user) {
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "server", server.c_str(), "user",
                               user.c_str(), nullptr);
    return error ? failed(error, "borrar la contraseña") : std::string();
}

}  // namespace orv::sync::keyring
