#pragma once
// The sync as the sync window runs it, in its task's thread, on the library
// orvane-db sync uses: the server's certificate looked at first (trust on
// first use, the same remembered fingerprints), the password from the box
// or the desktop's keyring, the address books found, then the sync itself.
// Also the systemd user timer that repeats it with the installed orvane-db,
// and the last sync's time and result.

#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>
#include <vector>

#include "sync/carddav.h"
#include "sync/engine.h"
#include "sync/trust.h"

namespace orv::ui::desk {

class Task;

struct SyncJob {
    QString book;
    QUrl address;           // the server's (to find address books) or the address book's
    QString user;           // empty: a server that asks none
    QString password;       // typed; empty: the one kept in the keyring
    bool discover = false;  // find the address books only
    bool allowDeletions = false;
    bool otherAddressBook = false;
};

struct SyncOutcome {
    enum class Kind {
        Found,         // discover: the address books in `books`
        Synced,        // the sync ran (report; it may list problems)
        Certificate,   // the server's certificate needs the user's answer
        NeedPassword,  // none typed and none kept
        Guard,         // the sync would delete too many (report.refused)
        OtherBook,     // the book was synced with another address book
        Cancelled,     // nothing written
        Failed,        // `error` says why
    };
    Kind kind = Kind::Failed;
    QString error;  // Spanish
    sync::CertificateCheck certificate;
    std::vector<sync::AddressBookInfo> books;
    sync::SyncReport report;
    bool fromKeyring = false;  // the password came from there
    // After a sync that took a typed password: kept in the keyring, or why not.
    bool passwordKept = false;
    QString keyringProblem;
};

// Why this address cannot be used, in Spanish; empty when it can.
QString addressProblem(const QString& text, const QString& user);

// Runs `job` (stops where task.cancelled() is seen).
SyncOutcome runSync(Task& task, const SyncJob& job);

// Whether a password is kept for `user` at `address`'s server; `problem`
// says why the keyring could not be asked.
bool passwordKept(const QUrl& address, const QString& user, QString* problem);

// The certificate question, as orvane-db asks it.
QString certificateQuestion(const QUrl& address, const sync::CertificateCheck& check);
// Remembers the certificate the user accepted; empty, or why it could not.
QString acceptCertificate(const QUrl& address, const sync::CertificateCheck& check);

// The report, one line a contact under each heading; and its first line.
QString reportText(const sync::SyncReport& r);
QString reportSummary(const sync::SyncReport& r);

// ---- The timer ---------------------------------------------------------------

// orvane-db as installed beside this program (or where a package puts it);
// empty when there is none.
QString syncTool();
// Test seam: the tool the timer runs (empty: look as above).
void setSyncToolForTests(const QString& path);

struct TimerUnits {
    QString folder;  // $XDG_CONFIG_HOME/systemd/user
    QString service, timer;
    QByteArray serviceText, timerText;
};
TimerUnits timerUnits(const QString& tool, const QString& book);

struct TimerState {
    bool enabled = false;
    QString problem;  // why systemd cannot be asked, in Spanish
};
TimerState timerState();
// Writes the two units for the owner alone and enables the timer; empty on
// success, else why not, in Spanish.
QString enableTimer(const TimerUnits& units);
QString disableTimer();

// ---- The last sync -------------------------------------------------------------

struct LastSync {
    qint64 ms = 0;  // when it ended
    QString text;   // its result
};
// The newest of the window's own syncs of `book` and the timer's runs.
std::optional<LastSync> lastSync(const QString& book);
void recordSync(const QString& book, const LastSync& last);

// The book as its real file (links followed).
QString realBook(const QString& book);

}  // namespace orv::ui::desk
