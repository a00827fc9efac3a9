#pragma once
// Copies of a book (see history.h for backup and keepCopy): each is written
// through SQLite's backup API into a file with no name yet, which the system
// drops if the copy is cut short, and is linked under its name only when
// whole. A copy kept in copias/ carries a mark, its own inode number, so that
// the rotation knows which files it made: a user's file named like a copy,
// or a copy of a copy made by hand, is never counted nor removed.

#include <sqlite3.h>

#include <string>
#include <vector>

namespace orv::backup {

// The copias/ folder beside the book (the book's real folder, links
// followed), opened for use: made for the owner alone when missing; a
// symbolic link or anything but a folder there is refused (kErrEngine).
// Returns an open descriptor of it, which the caller closes.
int openCopies(const std::string& book, std::string* path = nullptr);

// The names in the folder `dir` of the copies we made of a book whose file
// is named `bookName`, oldest first.
std::vector<std::string> ourCopies(int dir, const std::string& bookName);
// The other files there named like copies of it (made by hand, or by a
// previous release), for messages.
std::vector<std::string> otherFiles(int dir, const std::string& bookName);

// Whether the file `name` in `dir` is a copy we made.
bool ours(int dir, const std::string& name);

// Opens a file of ours, or any file read only, through a descriptor: no
// lock, no side file made or looked for. For reading copies in copias/.
sqlite3* openReadOnly(int fd);

}  // namespace orv::backup
