#pragma once
// The desktop's keyring: the Secret Service (GNOME Keyring, KWallet,
// KeePassXC), through libsecret. A password is kept for a user at a
// server's origin ("https://host:443"), so that later syncs, the timer's
// included, take it from there. No Qt and no terminal here: a window calls
// the same functions.

#include <optional>
#include <string>

namespace orv::sync::keyring {

struct Lookup {
    std::optional<std::string> password;  // nullopt: none kept
    // Set when the keyring could not be asked (none running, or locked with
    // no one to unlock it), in Spanish.
    std::string error;
};

Lookup find(const std::string& server, const std::string& user);
// Keeps it, replacing any kept before. Returns what went wrong, in Spanish;
// empty on success.
std::string store(const std::string& server, const std::string& user, const std::string& password);
std::string forget(const std::string& server, const std::string& user);

}  // namespace orv::sync::keyring
