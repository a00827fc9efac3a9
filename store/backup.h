#pragma once
// Copies of a book: a whole copy where the user says (copy), and the copies
// kept in copias/ beside the book (keepCopy). Each is written through
// SQLite's backup API into a file with no name yet, which the system drops
// if the copy is cut short, and is named only when whole (AtomicFile). A
// copy kept in copias/ carries a mark, its own inode number, so that the
// rotation knows which files it made: a user's file named like a copy, or a
// copy of a copy made by hand, is never counted nor removed.

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <vector>

#include "store/handles.h"

namespace orv::backup {

// A consistent copy of the book (the file is read under one shared lock; a
// writer elsewhere waits or is waited for). Refuses an existing `dest`;
// never leaves a partial file.
void copy(const std::string& book, const std::string& dest);

// A copy in copias/ beside the book, keeping the last kKeptCopies; returns
// its path.
inline constexpr int kKeptCopies = 7;
std::string keepCopy(const std::string& book);
std::string keepCopy(sqlite3* db);

// A sync or import that changes more than this many contacts, and at least a
// tenth of the book, keeps a copy first (wantsCopy).
inline constexpr std::size_t kCopyAbove = 100;
// Whether `changes` contacts changed at once deserve a copy of the book first.
// A smaller change against a large book is taken back by the history: copying
// the whole book for it cost more than the change (3,000 contacts into a
// million: the copy was two thirds of the import's time).
bool wantsCopy(sqlite3* db, std::size_t changes);

// The copias/ folder beside the book (the book's real folder, links
// followed), opened for use: made for the owner alone when missing; a
// symbolic link or anything but a folder there is refused (kErrEngine).
Fd openCopies(const std::string& book, std::string* path = nullptr);

// The names in the folder `dir` of the copies we made of a book whose file
// is named `bookName`, oldest first.
std::vector<std::string> ourCopies(int dir, const std::string& bookName);
// The other files there named like copies of it (made by hand, or by a
// previous release), for messages.
std::vector<std::string> otherFiles(int dir, const std::string& bookName);

// Whether the file `name` in `dir` is a copy we made.
bool ours(int dir, const std::string& name);

// Opens a file of ours, or any file read only, through a descriptor (not
// owned): no lock, no side file made or looked for. For reading copies in
// copias/.
Connection openReadOnly(int fd);

}  // namespace orv::backup
