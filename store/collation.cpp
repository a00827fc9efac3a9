#include "store/collation.h"

#include <array>
#include <cstring>

namespace orv::collation {

namespace {

enum Accent : std::uint8_t {
    kNone,
    kAcute,
    kGrave,
    kCircumflex,
    kDiaeresis,
    kTilde,
    kRing,
    kCedilla,
    kStroke,
    kMacron,
    kBreve,
    kOgonek,
    kDot,
    kCaron,
    kDoubleAcute,
    kOther,
};

constexpr char32_t kEnye = 0xF1;  // ñ
constexpr std::uint32_t kEnyeWeight = 'n' * 4 + 2;

// Folding of U+00C0..U+017F: the letter a character sorts as (0 = itself),
// its accent and its case.
struct Fold {
    char32_t base = 0;
    std::uint8_t accent = kNone;
    std::uint8_t upper = 0;
};
constexpr char32_t kFoldFirst = 0xC0, kFoldLast = 0x17F;

using FoldTable = std::array<Fold, kFoldLast - kFoldFirst + 1>;

constexpr FoldTable makeFolds() {
    FoldTable t{};
    auto set = [&t](char32_t c, char32_t base, std::uint8_t accent, std::uint8_t upper) {
        t[c - kFoldFirst] = Fold{base, accent, upper};
    };
    // A capital letter with its base letter and accent. Its small letter is
    // 0x20 above in Latin-1 (C0..DE) and right after it in Latin Extended-A.
    struct Letter {
        char32_t upper;
        char base;
        std::uint8_t accent;
    };
    constexpr Letter letters[] = {
        {0xC0, 'a', kGrave},       {0xC1, 'a', kAcute},       {0xC2, 'a', kCircumflex},
        {0xC3, 'a', kTilde},       {0xC4, 'a', kDiaeresis},   {0xC5, 'a', kRing},
        {0xC7, 'c', kCedilla},     {0xC8, 'e', kGrave},       {0xC9, 'e', kAcute},
        {0xCA, 'e', kCircumflex},  {0xCB, 'e', kDiaeresis},   {0xCC, 'i', kGrave},
        {0xCD, 'i', kAcute},       {0xCE, 'i', kCircumflex},  {0xCF, 'i', kDiaeresis},
        {0xD2, 'o', kGrave},       {0xD3, 'o', kAcute},       {0xD4, 'o', kCircumflex},
        {0xD5, 'o', kTilde},       {0xD6, 'o', kDiaeresis},   {0xD8, 'o', kStroke},
        {0xD9, 'u', kGrave},       {0xDA, 'u', kAcute},       {0xDB, 'u', kCircumflex},
        {0xDC, 'u', kDiaeresis},   {0xDD, 'y', kAcute},       {0x100, 'a', kMacron},
        {0x102, 'a', kBreve},      {0x104, 'a', kOgonek},     {0x106, 'c', kAcute},
        {0x108, 'c', kCircumflex}, {0x10A, 'c', kDot},        {0x10C, 'c', kCaron},
        {0x10E, 'd', kCaron},      {0x110, 'd', kStroke},     {0x112, 'e', kMacron},
        {0x114, 'e', kBreve},      {0x116, 'e', kDot},        {0x118, 'e', kOgonek},
        {0x11A, 'e', kCaron},      {0x11C, 'g', kCircumflex}, {0x11E, 'g', kBreve},
        {0x120, 'g', kDot},        {0x122, 'g', kCedilla},    {0x124, 'h', kCircumflex},
        {0x126, 'h', kStroke},     {0x128, 'i', kTilde},      {0x12A, 'i', kMacron},
        {0x12C, 'i', kBreve},      {0x12E, 'i', kOgonek},     {0x134, 'j', kCircumflex},
        {0x136, 'k', kCedilla},    {0x139, 'l', kAcute},      {0x13B, 'l', kCedilla},
        {0x13D, 'l', kCaron},      {0x13F, 'l', kDot},        {0x141, 'l', kStroke},
        {0x143, 'n', kAcute},      {0x145, 'n', kCedilla},    {0x147, 'n', kCaron},
        {0x14C, 'o', kMacron},     {0x14E, 'o', kBreve},      {0x150, 'o', kDoubleAcute},
        {0x154, 'r', kAcute},      {0x156, 'r', kCedilla},    {0x158, 'r', kCaron},
        {0x15A, 's', kAcute},      {0x15C, 's', kCircumflex}, {0x15E, 's', kCedilla},
        {0x160, 's', kCaron},      {0x162, 't', kCedilla},    {0x164, 't', kCaron},
        {0x166, 't', kStroke},     {0x168, 'u', kTilde},      {0x16A, 'u', kMacron},
        {0x16C, 'u', kBreve},      {0x16E, 'u', kRing},       {0x170, 'u', kDoubleAcute},
        {0x172, 'u', kOgonek},     {0x174, 'w', kCircumflex}, {0x176, 'y', kCircumflex},
        {0x179, 'z', kAcute},      {0x17B, 'z', kDot},        {0x17D, 'z', kCaron},
    };
    for (const Letter& e : letters) {
        const auto base = static_cast<char32_t>(e.base);
        set(e.upper, base, e.accent, 1);
        set(e.upper + (e.upper < 0x100 ? 0x20 : 1), base, e.accent, 0);
    }
    // Letters of their own that only pair by case: Æ Ð Ñ Þ.
    for (char32_t u : {0xC6, 0xD0, 0xD1, 0xDE}) set(u, u + 0x20, kNone, 1);
    set(0xFF, 'y', kDiaeresis, 0);
    set(0x178, 'y', kDiaeresis, 1);

    // Ligatures and the eng pair by case only.
    for (char32_t u : {0x132, 0x14A, 0x152}) set(u, u + 1, kNone, 1);
    set(0x130, 'i', kDot, 1);    // İ
    set(0x131, 'i', kOther, 0);  // ı
    set(0x138, 'k', kOther, 0);  // ĸ
    set(0x149, 'n', kOther, 0);  // ŉ
    set(0x17F, 's', kOther, 0);  // ſ
    return t;
}

constexpr FoldTable kFolds = makeFolds();

constexpr std::uint32_t weightOf(char32_t c) {
    return c == kEnye ? kEnyeWeight : c * 4;
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

Key key(char32_t c) {
    if (c < 0x80) {
        if (c >= 'A' && c <= 'Z') return {(c + 0x20) * 4, kNone, 1};
        return {c * 4, kNone, 0};
    }
    if (c >= kFoldFirst && c <= kFoldLast) {
        const Fold& f = kFolds[c - kFoldFirst];
        return {weightOf(f.base ? f.base : c), f.accent, f.upper};
    }
    // Greek and Cyrillic capitals fold to their small letters.
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return {(c + 0x20) * 4, kNone, 1};
    if (c == 0x3C2) return {0x3C3 * 4, kOther, 0};  // final sigma
    if (c >= 0x410 && c <= 0x42F) return {(c + 0x20) * 4, kNone, 1};
    if (c >= 0x400 && c <= 0x40F) return {(c + 0x50) * 4, kNone, 1};
    if (c == kBadByte) return {0xFFFD * 4, kNone, 2};
    return {c * 4, kNone, 0};
}

namespace {

inline Key nextKey(std::string_view s, std::size_t& i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        ++i;
        if (b >= 'A' && b <= 'Z') return {(b + 0x20u) * 4, kNone, 1};
        return {b * 4u, kNone, 0};
    }
    return key(decodeNext(s, i));
}

}  // namespace

int compare(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    int secondary = 0, tertiary = 0;
    while (i < a.size() && j < b.size()) {
        const Key ka = nextKey(a, i), kb = nextKey(b, j);
        if (ka.primary != kb.primary) return ka.primary < kb.primary ? -1 : 1;
        if (!secondary && ka.secondary != kb.secondary)
            secondary = ka.secondary < kb.secondary ? -1 : 1;
        if (!tertiary && ka.tertiary != kb.tertiary) tertiary = ka.tertiary < kb.tertiary ? -1 : 1;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    if (secondary) return secondary;
    if (tertiary) return tertiary;
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    if (const int r = n ? std::memcmp(a.data(), b.data(), n) : 0) return r < 0 ? -1 : 1;
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string lowestWithPrimary(const std::vector<std::uint32_t>& weights) {
    std::string out;
    for (std::uint32_t w : weights) appendUtf8(out, w == kEnyeWeight ? kEnye : w / 4);
    return out;
}

std::optional<std::uint32_t> nextPrimary(std::uint32_t w) {
    if (w == 'n' * 4) return kEnyeWeight;
    if (w == kEnyeWeight) return 'o' * 4;
    for (char32_t c = w / 4 + 1; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const Key k = key(c);
        // Only a character that sorts as itself owns its weight.
        if (k.primary == c * 4 && k.secondary == kNone && k.tertiary == 0) return k.primary;
    }
    return std::nullopt;
}

std::optional<std::string> upperBoundForPrefix(std::vector<std::uint32_t> prefix) {
    while (!prefix.empty()) {
        if (auto next = nextPrimary(prefix.back())) {
            prefix.back() = *next;
            return lowestWithPrimary(prefix);
        }
        prefix.pop_back();
    }
    return std::nullopt;
}

}  // namespace orv::collation
