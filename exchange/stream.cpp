#include "exchange/stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "exchange/text.h"
#include "store/collation.h"
#include "store/syserror.h"

namespace orv::exchange {

namespace {

constexpr std::size_t kChunk = 1u << 20;

// How many bytes at the end of `s` begin a UTF-8 sequence that goes on
// past it.
std::size_t unfinishedTail(std::string_view s) {
    for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
        const auto c = static_cast<unsigned char>(s[s.size() - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return len > back ? back : 0;
    }
    return 0;
}

// UTF-16 code units to UTF-8; `carry` keeps an odd byte and a high surrogate
// between chunks. False on a lone surrogate.
bool fromUtf16(std::string& carry, std::string_view bytes, bool little, bool last,
               std::string& out) {
    std::string all = std::move(carry);
    all.append(bytes);
    carry.clear();
    std::size_t i = 0;
    const auto unit = [&](std::size_t at) {
        const auto a = static_cast<unsigned char>(all[at]),
                   b = static_cast<unsigned char>(all[at + 1]);
        return static_cast<std::uint32_t>(little ? a | b << 8 : a << 8 | b);
    };
    bool ok = true;
    for (; i + 1 < all.size(); i += 2) {
        std::uint32_t cp = unit(i);
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            ok = false;
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 3 >= all.size()) break;  // its pair comes with the next chunk
            const std::uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) {
                ok = false;
                continue;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        collation::appendUtf8(out, cp);
    }
    carry.assign(all, i, std::string::npos);
    return ok && !(last && !carry.empty());
}

}  // namespace

std::string mib(std::size_t bytes) {
    return std::to_string(bytes >> 20) + " MiB";
}

void ByteSource::took(const char* p, std::size_t n) {
    // Eight bytes at a time whatever the pieces the bytes come in, so that
    // the same bytes always hash the same.
    const auto mix = [this](std::uint64_t w) {
        hash_ = (hash_ ^ w) * 1099511628211ull;
        hash_ ^= hash_ >> 29;
    };
    count_ += n;
    std::size_t i = 0;
    while (i < n && pending_ % 8 != 0) {
        word_ |= std::uint64_t(static_cast<unsigned char>(p[i++])) << (8 * (pending_ % 8));
        if (++pending_ % 8 == 0) mix(std::exchange(word_, 0));
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        mix(w);
    }
    for (; i < n; ++i)
        word_ |= std::uint64_t(static_cast<unsigned char>(p[i])) << (8 * (pending_++ % 8));
}

std::uint64_t ByteSource::hash() const {
    return (hash_ ^ word_ ^ (pending_ % 8)) * 1099511628211ull;
}

std::size_t MemorySource::read(char* into, std::size_t n) {
    n = std::min(n, bytes_.size() - pos_);
    std::memcpy(into, bytes_.data() + pos_, n);
    took(into, n);
    pos_ += n;
    return n;
}

void MemorySource::rewind() {
    pos_ = 0;
    restart();
}

std::size_t FileSource::read(char* into, std::size_t n) {
    for (;;) {
        const ssize_t got = ::pread(fd_, into, n, static_cast<off_t>(pos_));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0)
            throw std::runtime_error("no se puede leer " + name_ + ": " + systemErrorText(errno));
        took(into, static_cast<std::size_t>(got));
        pos_ += static_cast<std::uint64_t>(got);
        return static_cast<std::size_t>(got);
    }
}

void FileSource::rewind() {
    pos_ = 0;
    restart();
}

Sniffed sniff(ByteSource& source, bool decodeAll) {
    Sniffed s;
    source.rewind();
    std::string chunk(kChunk, '\0'), carry, decoded;
    bool first = true, utf8 = true;
    for (;;) {
        std::size_t n = source.read(chunk.data(), chunk.size());
        std::string_view part(chunk.data(), n);
        if (first && n > 0) {
            // Enough bytes to see a byte order mark.
            while (part.size() < 3) {
                const std::size_t more = source.read(chunk.data() + part.size(), 3 - part.size());
                if (!more) break;
                part = std::string_view(chunk.data(), part.size() + more);
            }
            if (part.starts_with("\xFF\xFE") || part.starts_with("\xFE\xFF")) {
                s.encoding = part[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
                part.remove_prefix(2);
            } else if (decodeAll || part.starts_with("\xEF\xBB\xBF")) {
                s.encoding = Encoding::Utf8;
            }
            first = false;
        }
        const bool last = part.empty();
        if (s.encoding == Encoding::Utf16Le || s.encoding == Encoding::Utf16Be) {
            decoded.clear();
            if (!fromUtf16(carry, part, s.encoding == Encoding::Utf16Le, last, decoded))
                s.broken = true;
            s.anyLineFeed = s.anyLineFeed || decoded.find('\n') != std::string::npos;
        } else {
            s.anyLineFeed = s.anyLineFeed || part.find('\n') != std::string_view::npos;
            if (decodeAll && utf8) {
                carry.append(part);
                const std::size_t keep = last ? 0 : unfinishedTail(carry);
                utf8 = validUtf8(std::string_view(carry).substr(0, carry.size() - keep));
                carry.erase(0, carry.size() - keep);
            }
        }
        if (last) break;
    }
    if (decodeAll && !utf8 && s.encoding == Encoding::Utf8) s.encoding = Encoding::Windows1252;
    s.size = source.bytesRead();
    s.hash = source.hash();
    source.rewind();
    return s;
}

Sniffed sniff(std::string_view bytes, bool decodeAll) {
    Sniffed s;
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        s.encoding = bytes[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
        std::string carry, decoded;
        s.broken =
            !fromUtf16(carry, bytes.substr(2), s.encoding == Encoding::Utf16Le, true, decoded);
        s.anyLineFeed = decoded.find('\n') != std::string::npos;
        return s;
    }
    s.anyLineFeed = bytes.find('\n') != std::string_view::npos;
    if (decodeAll)
        s.encoding = validUtf8(withoutBom(bytes)) ? Encoding::Utf8 : Encoding::Windows1252;
    return s;
}

LineReader::LineReader(ByteSource& source, const Sniffed& how, LineEnds ends)
    : source_(&source), encoding_(how.encoding), ends_(ends) {
    source_->rewind();
}

LineReader::LineReader(std::string_view text, LineEnds ends)
    : ends_(ends), data_(withoutBom(text)), eof_(true), first_(false) {}

bool LineReader::fill() {
    if (eof_) return false;
    if (pos_ > 0 && pos_ * 2 >= buffer_.size()) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    chunk_.resize(kChunk);
    std::size_t n = source_->read(chunk_.data(), chunk_.size());
    chunk_.resize(n);
    if (first_) {
        // The byte order mark, which sniff() has seen, is no text.
        while (chunk_.size() < 3) {
            char more[3];
            const std::size_t m = source_->read(more, 3 - chunk_.size());
            if (!m) break;
            chunk_.append(more, m);
        }
        first_ = false;
        if (encoding_ == Encoding::Utf16Le || encoding_ == Encoding::Utf16Be)
            chunk_.erase(0, 2);
        else if (withoutBom(chunk_).size() != chunk_.size())
            chunk_.erase(0, 3);
        n = chunk_.size() + 1;  // not the end, even if the mark was all
    }
    eof_ = n == 0;
    switch (encoding_) {
        case Encoding::Utf16Le:
        case Encoding::Utf16Be:
            fromUtf16(raw_, chunk_, encoding_ == Encoding::Utf16Le, eof_, buffer_);
            break;
        case Encoding::Windows1252:
            buffer_ += fromWindows1252(chunk_);
            break;
        default:
            buffer_ += chunk_;
    }
    data_ = buffer_;
    return true;
}

bool LineReader::next(Line& line) {
    line = Line{};
    std::size_t from = pos_, skipped = 0;
    bool tooLong = false;
    for (;;) {
        const std::size_t at = ends_ == LineEnds::Lf   ? data_.find('\n', from)
                               : ends_ == LineEnds::Cr ? data_.find('\r', from)
                                                       : data_.find_first_of("\r\n", from);
        const bool crAtEdge = at != std::string_view::npos && ends_ == LineEnds::Any &&
                              data_[at] == '\r' && at + 1 == data_.size() && !eof_;
        if (at != std::string_view::npos && !crAtEdge) {
            std::size_t endLength = 1;
            if (ends_ == LineEnds::Any && data_[at] == '\r' && at + 1 < data_.size() &&
                data_[at + 1] == '\n')
                endLength = 2;
            line.number = ++number_;
            line.tooLong = tooLong || at - pos_ + skipped > kMaxLine;
            line.text = line.tooLong ? std::string_view() : data_.substr(pos_, at - pos_);
            line.end = data_.substr(at, endLength);
            pos_ = at + endLength;
            return true;
        }
        if (source_ && data_.size() - pos_ + skipped > kMaxLine) {
            // Too long to keep: the rest of it is read and dropped.
            tooLong = true;
            const std::size_t keep = crAtEdge ? 1 : 0;
            skipped += data_.size() - pos_ - keep;
            buffer_.erase(0, buffer_.size() - keep);
            data_ = buffer_;
            pos_ = 0;
        }
        from = crAtEdge ? data_.size() - 1 : data_.size();
        const std::size_t before = pos_;
        if (!fill()) {
            if (pos_ >= data_.size() && !tooLong) return false;
            line.number = ++number_;
            line.tooLong = tooLong || data_.size() - pos_ + skipped > kMaxLine;
            line.text = line.tooLong ? std::string_view() : data_.substr(pos_);
            pos_ = data_.size();
            return true;
        }
        from -= before - pos_;  // fill() may have moved the unread text to the start
    }
}

}  // namespace orv::exchange
