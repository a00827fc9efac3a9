#pragma once
// Files read as a stream of lines, never held whole: the bytes come from a
// source that can be read again from its start (the import reads a file
// once to check it and once to write it), are turned into UTF-8 as they
// come, and are cut into lines of at most kMaxLine bytes. What one record
// needs is all that is held at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orv::exchange {

// The longest physical line read, and the largest record (a card, a CSV
// record, an LDIF entry): past them the line or record is refused.
inline constexpr std::size_t kMaxLine = 16u << 20;
inline constexpr std::size_t kMaxRecord = 64u << 20;
// The limits as messages say them ("16 MiB").
std::string mib(std::size_t bytes);

// Bytes, read from the start again as often as asked.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Up to n bytes; 0 at the end. Throws std::runtime_error on a failed read.
    virtual std::size_t read(char* into, std::size_t n) = 0;
    virtual void rewind() = 0;
    // The bytes read since the last rewind, and a hash of them: a file that
    // changed between two readings does not read the same.
    std::uint64_t bytesRead() const { return count_; }
    std::uint64_t hash() const;

  protected:
    void took(const char* p, std::size_t n);
    void restart() { count_ = 0, hash_ = 14695981039346656037ull, word_ = 0, pending_ = 0; }

  private:
    std::uint64_t count_ = 0, hash_ = 14695981039346656037ull, word_ = 0, pending_ = 0;
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::size_t read(char* into, std::size_t n) override;
    void rewind() override;

  private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// A regular file through its descriptor (the caller's), read with pread.
class FileSource : public ByteSource {
  public:
    FileSource(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    std::size_t read(char* into, std::size_t n) override;
    void rewind() override;

  private:
    int fd_;
    std::string name_;
    std::uint64_t pos_ = 0;
};

enum class Encoding { Raw, Utf8, Utf16Le, Utf16Be, Windows1252 };

// What a first reading of the whole source tells: how its text is written
// and how its lines end.
struct Sniffed {
    Encoding encoding = Encoding::Raw;
    bool anyLineFeed = false;          // in the text as decoded
    bool broken = false;               // UTF-16 cut short or with a lone surrogate
    std::uint64_t size = 0, hash = 0;  // of the bytes read (see Source)
};
// `decodeAll`: text of unknown set (CSV, abook) is UTF-8 if valid
// throughout, else windows-1252; otherwise only UTF-16 with its byte order
// mark is decoded and the rest left as it is. Reads the source to its end.
Sniffed sniff(ByteSource& source, bool decodeAll);
// The same for bytes already in memory.
Sniffed sniff(std::string_view bytes, bool decodeAll);

// How lines end: LF (a CR before it stays on the line), CR alone, or any of
// CR LF, LF and CR as a CSV file has them.
enum class LineEnds { Lf, Cr, Any };

// Physical lines of the decoded text, each with its number (from 1) and the
// bytes that ended it. A line past kMaxLine is given as too long (its text
// empty), and the reading goes on after it.
class LineReader {
  public:
    LineReader(ByteSource& source, const Sniffed& how, LineEnds ends);
    // Over text already decoded (its byte order mark, if any, is skipped).
    LineReader(std::string_view text, LineEnds ends);
    struct Line {
        std::string_view text, end;
        long number = 0;
        bool tooLong = false;
    };
    // False at the end. The line stays valid until the next call.
    bool next(Line& line);
    // Bytes read so far (for progress).
    std::uint64_t offset() const { return source_ ? source_->bytesRead() : pos_; }

  private:
    bool fill();
    ByteSource* source_ = nullptr;
    Encoding encoding_ = Encoding::Raw;
    LineEnds ends_;
    std::string raw_;        // undecoded bytes carried to the next chunk
    std::string buffer_;     // what was read and decoded
    std::string chunk_;      // what is being read
    std::string_view data_;  // the text: buffer_, or the caller's; unread from pos_ on
    std::size_t pos_ = 0;
    bool eof_ = false, first_ = true;
    long number_ = 0;
};

}  // namespace orv::exchange
