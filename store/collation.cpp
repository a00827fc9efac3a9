#include "store/collation.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/unorm2.h>
#include <unicode/utf16.h>

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace orv::collation {

namespace {

// Bump when the key's layout or the way weights are taken changes.
constexpr const char* kOurVersion = "orv-1";
constexpr char32_t kEnye = 0xF1;  // ñ
constexpr char32_t kCombiningTilde = 0x303;
constexpr char32_t kReplacement = 0xFFFD;
// Weights of the characters below this are computed once, up front.
constexpr char32_t kTableSize = 0x3400;

struct CollatorDeleter {
    void operator()(UCollator* c) const { ucol_close(c); }
};
using Collator = std::unique_ptr<UCollator, CollatorDeleter>;

Collator openSpanish(UCollationStrength strength) {
    UErrorCode err = U_ZERO_ERROR;
    Collator c(ucol_open("es", &err));
    if (U_FAILURE(err)) throw std::runtime_error("ICU: no se puede abrir el orden español");
    ucol_setAttribute(c.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &err);
    ucol_setStrength(c.get(), strength);
    return c;
}

// A collator is not shared between threads.
struct Collators {
    Collator primary = openSpanish(UCOL_PRIMARY);
    Collator tertiary = openSpanish(UCOL_TERTIARY);
    std::unordered_map<char32_t, Weight> rare;  // weights past the table
};
Collators& collators() {
    thread_local Collators c;
    return c;
}

const UNormalizer2* nfd() {
    UErrorCode err = U_ZERO_ERROR;
    static const UNormalizer2* n = unorm2_getNFDInstance(&err);
    if (!n) throw std::runtime_error("ICU: sin datos de normalización");
    return n;
}

Weight computeWeight(UCollator* primary, char32_t c) {
    UChar buf[2];
    int32_t n = 0;
    U16_APPEND_UNSAFE(buf, n, c);
    std::uint8_t key[256];
    const int32_t len = ucol_getSortKey(primary, buf, n, key, sizeof key);
    Weight w = 0;
    // Bytes 0 and 1 end the primary level.
    for (int32_t i = 0, k = 0; i < len && i < static_cast<int32_t>(sizeof key) && k < 8; ++i, ++k) {
        if (key[i] <= 1) break;
        w |= Weight{key[i]} << (56 - 8 * k);
    }
    return w;
}

const std::array<Weight, kTableSize>& table() {
    static std::array<Weight, kTableSize> t;
    static std::once_flag once;
    std::call_once(once, [] {
        Collator primary = openSpanish(UCOL_PRIMARY);
        for (char32_t c = 0; c < kTableSize; ++c)
            t[c] = c >= 0xD800 && c <= 0xDFFF ? 0 : computeWeight(primary.get(), c);
    });
    return t;
}

// The weight of a base character, ñ already folded in.
Weight baseWeight(char32_t c) {
    if (c == kBadByte) c = kReplacement;
    if (c < kTableSize) return table()[c];
    Collators& cs = collators();
    auto it = cs.rare.find(c);
    if (it != cs.rare.end()) return it->second;
    const Weight w = computeWeight(cs.primary.get(), c);
    if (cs.rare.size() < 4096) cs.rare.emplace(c, w);
    return w;
}

// Splits a text into base characters with their marks (canonical
// decomposition); "n" with a combining tilde is "ñ", every other mark goes.
class Clusters {
  public:
    explicit Clusters(std::vector<Weight>& out) : out_(out) {}
    void add(char32_t c) {
        if (c < 0x80) {
            flush();
            base_ = c;
            return;
        }
        if (c == kBadByte) {
            flush();
            base_ = kReplacement;
            return;
        }
        UChar buf[32];
        UErrorCode err = U_ZERO_ERROR;
        const int32_t n = unorm2_getDecomposition(nfd(), static_cast<UChar32>(c), buf, 32, &err);
        if (n <= 0 || U_FAILURE(err)) {
            one(c);
            return;
        }
        for (int32_t i = 0; i < n;) {
            UChar32 d;
            U16_NEXT(buf, i, n, d);
            one(static_cast<char32_t>(d));
        }
    }
    void flush() {
        if (base_ == kNone) return;
        if (const Weight w = baseWeight(base_)) out_.push_back(w);
        base_ = kNone;
    }

  private:
    static constexpr char32_t kNone = 0xFFFFFFFF;
    void one(char32_t c) {
        if (u_getCombiningClass(static_cast<UChar32>(c)) == 0 || base_ == kNone) {
            flush();
            base_ = c;
        } else if (c == kCombiningTilde && (base_ == 'n' || base_ == 'N')) {
            base_ = kEnye;
        }
    }
    std::vector<Weight>& out_;
    char32_t base_ = kNone;
};

void appendWeight(std::string& out, Weight w) {
    for (int k = 0; k < 8 && (w >> (56 - 8 * k)) & 0xFF; ++k)
        out += static_cast<char>((w >> (56 - 8 * k)) & 0xFF);
}

}  // namespace

char32_t decodeNext(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len;
    char32_t c, min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, c = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, c = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return kBadByte;
    }
    if (i + len > s.size()) {
        ++i;
        return kBadByte;
    }
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kBadByte;
        }
        c = (c << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return kBadByte;
    }
    i += len;
    return c;
}

std::u32string decode(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) out += decodeNext(s, i);
    return out;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c <= 0x10FFFF) {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += "\xEF\xBF\xBD";
    }
}

void weights(std::string_view text, std::vector<Weight>& out) {
    out.clear();
    Clusters cl(out);
    for (std::size_t i = 0; i < text.size();) cl.add(decodeNext(text, i));
    cl.flush();
}

void characterWeights(char32_t c, std::vector<Weight>& out) {
    out.clear();
    Clusters cl(out);
    cl.add(c);
    cl.flush();
}

Weight weight(char32_t c) {
    std::vector<Weight> w;
    characterWeights(c, w);
    return w.empty() ? 0 : w.front();
}

bool isDigit(Weight w) {
    static const std::array<Weight, 10> digits = [] {
        std::array<Weight, 10> d{};
        for (char c = '0'; c <= '9'; ++c) d[static_cast<std::size_t>(c - '0')] = baseWeight(c);
        return d;
    }();
    for (Weight d : digits)
        if (w == d) return true;
    return false;
}

std::string sortKey(std::string_view text) {
    thread_local std::vector<Weight> w;
    weights(text, w);
    std::string key;
    key.reserve(text.size() * 3 + 8);
    for (Weight x : w) appendWeight(key, x);
    key += '\0';
    // Accents and case: ICU's levels after its primary one.
    thread_local std::u16string u;
    u.clear();
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = decodeNext(text, i);
        if (c == kBadByte) c = kReplacement;
        if (c < 0x10000) {
            u += static_cast<char16_t>(c);
        } else {
            u += static_cast<char16_t>(U16_LEAD(c));
            u += static_cast<char16_t>(U16_TRAIL(c));
        }
    }
    thread_local std::vector<std::uint8_t> buf(256);
    UCollator* tertiary = collators().tertiary.get();
    const auto* src = reinterpret_cast<const UChar*>(u.data());
    const auto n = static_cast<int32_t>(u.size());
    int32_t len = ucol_getSortKey(tertiary, src, n, buf.data(), static_cast<int32_t>(buf.size()));
    if (len > static_cast<int32_t>(buf.size())) {
        buf.resize(static_cast<std::size_t>(len));
        len = ucol_getSortKey(tertiary, src, n, buf.data(), len);
    }
    const auto* sep = static_cast<const std::uint8_t*>(std::memchr(buf.data(), 1, len));
    if (sep)
        key.append(reinterpret_cast<const char*>(sep),
                   static_cast<std::size_t>(buf.data() + len - 1 - sep));
    // Last the bytes themselves, so that only equal texts tie.
    key += '\0';
    key.append(text);
    return key;
}

KeyRange prefixRange(const std::vector<Weight>& prefix) {
    KeyRange r;
    for (Weight w : prefix) appendWeight(r.lo, w);
    if (r.lo.empty()) {
        r.lo.assign(1, '\0');  // every name, no null
        return r;
    }
    std::string hi = r.lo;
    while (!hi.empty() && static_cast<unsigned char>(hi.back()) == 0xFF) hi.pop_back();
    if (!hi.empty()) {
        hi.back() = static_cast<char>(static_cast<unsigned char>(hi.back()) + 1);
        r.hi = std::move(hi);
    }
    return r;
}

int compare(std::string_view a, std::string_view b) {
    const int c = sortKey(a).compare(sortKey(b));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::string version() {
    UVersionInfo v;
    ucol_getVersion(collators().tertiary.get(), v);
    char text[U_MAX_VERSION_STRING_LENGTH];
    u_versionToString(v, text);
    return std::string("icu-") + text + "/" + kOurVersion;
}

}  // namespace orv::collation
