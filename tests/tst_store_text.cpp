// Pure text rules of the store: name patterns, Spanish order, dates, the
// contact query text and the bound controls' texts.

#include <QtTest>

#include <algorithm>

#include "store/collation.h"
#include "store/contactquery.h"
#include "store/datacontrol.h"
#include "store/dates.h"
#include "store/pattern.h"
#include "support/storetest.h"

using namespace orv;

class TestStoreText : public QObject {
    Q_OBJECT

  private slots:
    void patternMatches_data();
    void patternMatches();
    void invalidPatterns_data();
    void invalidPatterns();
    void patternEscapeAndOddInput();
    void spanishOrder();
    void orderIsTotal();
    void prefixBoundsEnclosePrefix();
    void dates();
    void contactQueryText();
    void boundTexts();
};

void TestStoreText::patternMatches_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("match");
    struct Case {
        const char* pattern;
        const char* text;
        bool match;
    };
    const Case cases[] = {
        // case and accents folded, ñ its own letter
        {"m*", "María", true},
        {"M*", "mónica", true},
        {"a", "Á", true},
        {"a", "à", true},
        {"a", "ä", true},
        {"u", "Ü", true},
        {"c", "ç", true},
        {"oe", "ŒE", false},
        {"n", "ñ", false},
        {"ñ", "Ñ", true},
        {"N*", "Ñandú", false},
        {"ñ*", "ÑANDÚ", true},
        {"σ", "Σ", true},
        {"д", "Д", true},
        // canonically equivalent texts are equal; Unicode's folding beyond Latin-1
        {"é", "e\u0301", true},
        {"e\u0301*", "É", true},
        {"ñ", "n\u0303", true},
        {"n\u0303", "Ñ", true},
        {"n", "n\u0303", false},
        {"n?", "n\u0303", false},
        {"s", "Ș", true},
        {"e", "ễ", true},
        {"a", "Ǎ", true},
        {"ß", "ẞ", true},
        {"?", "e\u0301\u0302", true},
        {"ab", "a\u00ADb", true},  // a soft hyphen has no weight
        // a Hangul syllable weighs as its letters, on both sides; a leading mark is a letter
        {"\uD162", "\uD162", true},
        {"\uD162*", "\u1110\u1166\u11BD", true},
        {"\u036Aa", "\u036Aa", true},
        // one character, one digit, any run
        {"?", "", false},
        {"?", "x", true},
        {"?", "xy", false},
        {"??", "ñá", true},
        {"#", "7", true},
        {"#", "a", false},
        {"#", "\u0663", true},  // a digit of another script
        {"##", "1a", false},
        {"*", "", true},
        {"", "", true},
        {"", "a", false},
        {"a*b", "ab", true},
        {"a*b", "axxb", true},
        {"a*b", "axxbc", false},
        {"*a*", "bab", true},
        {"a*", "", false},
        // lists and ranges, on the folded letters
        {"[abc]", "b", true},
        {"[abc]", "d", false},
        {"[a-c]", "B", true},
        {"[a-z]", "Á", true},
        {"[a-z]", "ñ", true},
        {"[a-z]", "1", false},
        {"[!a-z]", "1", true},
        {"[!a-z]", "q", false},
        {"[!a-z]", "", false},
        {"[a-]", "-", true},
        {"[-a]", "-", true},
        {"x[0-9]y", "x5y", true},
        // bracketed wildcards are literal, and so is what is ordinary outside
        {"[*]", "*", true},
        {"[*]", "x", false},
        {"[?]", "?", true},
        {"[?]", "a", false},
        {"[#]", "#", true},
        {"[#]", "1", false},
        {"[[]", "[", true},
        {"]", "]", true},
        {"!", "!", true},
        {"a]", "a]", true},
        {"%", "%", true},
        {"%", "abc", false},
        {"_", "_", true},
        {"_", "a", false},
        {"O'*", "O'Brien", true},
        // "[]" matches nothing at all, "[!]" one character
        {"[]", "", true},
        {"a[]b", "ab", true},
        {"[!]", "z", true},
        {"[!]", "", false},
        // blanks count
        {"ana *", "Ana María", true},
        {"ana *", "Anabel", false},
        {"ana *", "ana ", true},
    };
    for (const Case& c : cases)
        QTest::addRow("%s ~ %s", c.pattern, c.text)
            << QString::fromUtf8(c.pattern) << QString::fromUtf8(c.text) << c.match;
}

void TestStoreText::patternMatches() {
    QFETCH(QString, pattern);
    QFETCH(QString, text);
    QFETCH(bool, match);
    const Pattern p(pattern.toStdString());
    QCOMPARE(p.matches(std::string_view(text.toStdString())), match);
    QCOMPARE(p.matches(std::u32string_view(text.toStdU32String())), match);
}

void TestStoreText::invalidPatterns_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("message");
    const char* const cases[][3] = {
        {"open list", "[a", "Patrón no válido: falta el cierre de '[' en '[a'."},
        {"open at end", "abc[", "Patrón no válido: falta el cierre de '[' en 'abc['."},
        {"open negated", "[!", "Patrón no válido: falta el cierre de '[' en '[!'."},
        {"open range", "[a-*", "Patrón no válido: falta el cierre de '[' en '[a-*'."},
        {"descending", "x[z-a]", "Patrón no válido: el intervalo 'z-a' es descendente."},
        {"descending folded", "[Z-a]", "Patrón no válido: el intervalo 'Z-a' es descendente."},
    };
    for (const auto& c : cases) QTest::newRow(c[0]) << QString(c[1]) << QString(c[2]);
}

void TestStoreText::invalidPatterns() {
    QFETCH(QString, pattern);
    QFETCH(QString, message);
    storetest::expectError([&] { Pattern p(pattern.toStdString()); }, kErrInvalidPattern, false,
                           message.toStdString());
}

void TestStoreText::patternEscapeAndOddInput() {
    const Pattern p("a\\*[\\]]", U'\\');
    QVERIFY(p.matches(std::string_view("a*]")));
    QVERIFY(!p.matches(std::string_view("ab]")));
    QVERIFY(Pattern("100!%", U'!').matches(std::string_view("100%")));
    // Bad UTF-8 is one odd character each, never a crash.
    QVERIFY(Pattern("a?").matches(std::string_view("a\xFF")));
    QVERIFY(Pattern("?").matches(std::string_view("\xC3")));
    QVERIFY(Pattern("??").matches(std::string_view("\xE2\x82")));
}

void TestStoreText::spanishOrder() {
    // Each list is in ascending order.
    const std::vector<std::vector<std::string>> chains = {
        {"Alba", "Álvaro", "Amparo"},
        {"José Luis", "Josefa"},
        {"Nuria", "nz", "Ñandú", "ñu", "Oscar"},
        {"nz", "n\u0303a", "Ñb", "o"},  // a decomposed ñ is ñ
        {"e\u0301", "é"},               // equal but for their bytes
        {"Sa", "Șb", "Sc", "ẞ", "St"},  // ẞ sorts as "ss"
        {"a", "Ǎ", "ab", "ea", "ễb", "ec"},
        {"", " ", "0", "9", "a"},
        {"a", "A", "á", "Á", "b"},  // accents, then case, break ties
        {"e", "é", "è"},            // never equal: a fixed accent order decides
        {" ", "{", "0", "zz"},      // blanks, then symbols, digits, letters
        {"Ana", "Ana ", "Ana María", "Anabel"},
    };
    for (const auto& chain : chains)
        for (std::size_t i = 0; i + 1 < chain.size(); ++i)
            QVERIFY2(collation::compare(chain[i], chain[i + 1]) < 0,
                     (chain[i] + " < " + chain[i + 1]).c_str());
    // Case and accents are ignored first: "Álvaro" sorts with plain "alvaro" before "alvarp".
    QVERIFY(collation::compare("Álvaro", "alvarp") < 0);
    QVERIFY(collation::compare("ÁLVARO", "álvaro") > 0);
}

void TestStoreText::orderIsTotal() {
    const std::vector<std::string> s = {
        "",     " ",     "a",   "A",   "á",   "Á",   "à",    "ä",
        "ñ",    "Ñ",     "n",   "N",   "ss",  "ß",   "\xFF", "\xEF\xBF\xBD",
        "\xC3", "a\x80", "Ana", "ana", "ANA", "ΣΑΣ", "σας",  "ſ",
        "s",    "İ",     "ı",   "i",   "Ĳ",   "ĳ",   "ÿ",    "Ÿ"};
    for (const auto& a : s) {
        for (const auto& b : s) {
            const int ab = collation::compare(a, b), ba = collation::compare(b, a);
            QCOMPARE(ab, -ba);
            QCOMPARE(ab == 0, a == b);
            for (const auto& c : s)
                if (ab < 0 && collation::compare(b, c) < 0) QVERIFY(collation::compare(a, c) < 0);
        }
    }
}

// Every name that a prefix pattern matches has its key in the prefix's key
// range: the range the query seeks in the key index before matching.
void TestStoreText::prefixBoundsEnclosePrefix() {
    const std::vector<std::string> names = {"",          " ",      "a",
                                            "Á",         "ab",     "Abz",
                                            "az",        "b",      "n",
                                            "nzz",       "ñ",      "Ñandú",
                                            "n\u0303a",  "ñz",     "o",
                                            "z",         "Zoe",    "zzz",
                                            "{",         "ÿ",      "Ÿo",
                                            "ā",         "\xFF",   "ana ",
                                            "Ana María", "anabel", "\xEF\xBF\xBD",
                                            "O'Brien",   "o'b",    "ß",
                                            "ssa",       "Ștefan", "\xF4\x8F\xBF\xBF"};
    const std::vector<std::string> prefixes = {"a",  "A",           "ab", "n", "ñ",
                                               "z",  "zz",          " ",  "ÿ", "ana ",
                                               "o'", "ss",          "ß",  "ș", "\xF4\x8F\xBF\xBF",
                                               "",   "\xEF\xBF\xBD"};
    for (const auto& prefix : prefixes) {
        const Pattern p(prefix + "*");
        const collation::KeyRange r = collation::prefixRange(p.prefixWeights());
        for (const auto& name : names) {
            const std::string key = collation::sortKey(name);
            const bool inRange = key >= r.lo && (!r.hi || key < *r.hi);
            if (p.matches(std::string_view(name)))
                QVERIFY2(inRange, (prefix + " / " + name).c_str());
        }
    }
    // The range is tight: another first letter lies outside it.
    const collation::KeyRange n = collation::prefixRange(Pattern("n*").prefixWeights());
    for (const char* outside : {"ñ", "o", "m", "N\u0303"}) {
        const std::string key = collation::sortKey(outside);
        QVERIFY2(key < n.lo || (n.hi && key >= *n.hi), outside);
    }
}

void TestStoreText::dates() {
    const std::pair<const char*, const char*> valid[] = {{"29/02/2000", "2000-02-29"},
                                                         {"29/02/2024", "2024-02-29"},
                                                         {"01/01/1000", "1000-01-01"},
                                                         {"31/12/9999", "9999-12-31"},
                                                         {"30/04/2021", "2021-04-30"}};
    for (const auto& [display, iso] : valid) {
        QCOMPARE(isoFromDisplay(display).value_or("-"), std::string(iso));
        QCOMPARE(displayFromIso(iso), std::string(display));
    }
    for (const char* bad : {"29/02/1900", "29/02/2023", "31/04/2020", "00/01/2020", "01/00/2020",
                            "01/13/2020", "1_/01/2020", "__/__/____", "01/01/0999", "1/1/2020",
                            "01-01-2020", "01/01/20200", "", "32/01/2020", "+1/01/2020"})
        QVERIFY2(!isoFromDisplay(bad), bad);
    // A stored text that is no ISO date is shown as it is.
    for (const char* odd : {"hola", "", "1990-3-05", "05/03/1990"})
        QCOMPARE(displayFromIso(odd), std::string(odd));
}

void TestStoreText::contactQueryText() {
    QCOMPARE(contactQuery("a", "Registros").value(),
             std::string("Select * From Registros WHERE Nombre like 'a*'ORDER BY Nombre"));
    QCOMPARE(contactQuery("", "Registros").value(),
             std::string("Select * From Registros WHERE Nombre like '*'ORDER BY Nombre"));
    QCOMPARE(contactQuery("O'B", "Registros").value(),
             std::string("Select * From Registros WHERE Nombre like 'O''B*'ORDER BY Nombre"));
    QCOMPARE(contactQuery(" Ana ", "Registros").value(),
             std::string("Select * From Registros WHERE Nombre like ' Ana *'ORDER BY Nombre"));
    QVERIFY(!contactQuery("a", "registros"));
    QVERIFY(!contactQuery("a", ""));
}

void TestStoreText::boundTexts() {
    const std::string date = "Fecha de nacimiento";
    QCOMPARE(fieldText(date, std::string("1990-03-05")), std::string("05/03/1990"));
    QCOMPARE(fieldText(date, std::nullopt), std::string());
    QCOMPARE(fieldText("Nombre", std::string("1990-03-05")), std::string("1990-03-05"));
    QCOMPARE(textValue(date, "05/03/1990"), Value("1990-03-05"));
    QCOMPARE(textValue(date, "__/__/____"), Value());
    QCOMPARE(textValue("Nombre", " "), Value(" "));
    QCOMPARE(textValue("Apellido", ""), Value(""));
    // A half-typed or impossible date is refused, never stored as text.
    for (const char* bad : {"05/0_/1990", "31/02/1990"}) {
        try {
            textValue(date, bad);
            QFAIL(bad);
        } catch (const EngineError& e) {
            QCOMPARE(e.number(), int(kErrConstraint));
        }
    }
}

QTEST_APPLESS_MAIN(TestStoreText)
#include "tst_store_text.moc"
