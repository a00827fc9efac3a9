#include "tools/orvane-db/demo.h"

#include <array>
#include <string_view>

namespace orv::db {

namespace {

constexpr std::array<std::string_view, 96> kFirstNames = {"Álvaro",
                                                          "Íñigo",
                                                          "Begoña",
                                                          "Ángel",
                                                          "Ángela",
                                                          "Óscar",
                                                          "Úrsula",
                                                          "Éric",
                                                          "Ana",
                                                          "Antonio",
                                                          "Alberto",
                                                          "Alicia",
                                                          "Andrés",
                                                          "Beatriz",
                                                          "Benjamín",
                                                          "Carlos",
                                                          "Carmen",
                                                          "Cristina",
                                                          "César",
                                                          "Daniel",
                                                          "David",
                                                          "Diego",
                                                          "Dolores",
                                                          "Elena",
                                                          "Emilio",
                                                          "Encarnación",
                                                          "Enrique",
                                                          "Esteban",
                                                          "Eva",
                                                          "Fátima",
                                                          "Federico",
                                                          "Fernando",
                                                          "Francisco",
                                                          "Gabriel",
                                                          "Gonzalo",
                                                          "Guillermo",
                                                          "Héctor",
                                                          "Inés",
                                                          "Irene",
                                                          "Isabel",
                                                          "Jaime",
                                                          "Javier",
                                                          "Jesús",
                                                          "Joaquín",
                                                          "Jorge",
                                                          "José",
                                                          "José Luis",
                                                          "José María",
                                                          "Josefa",
                                                          "Juan",
                                                          "Juan Carlos",
                                                          "Julia",
                                                          "Julián",
                                                          "Laura",
                                                          "Lucía",
                                                          "Luis",
                                                          "Manuel",
                                                          "Marcos",
                                                          "María",
                                                          "María José",
                                                          "María del Carmen",
                                                          "María Ángeles",
                                                          "Mariano",
                                                          "Marina",
                                                          "Marta",
                                                          "Martín",
                                                          "Mercedes",
                                                          "Miguel",
                                                          "Miguel Ángel",
                                                          "Mónica",
                                                          "Natalia",
                                                          "Nicolás",
                                                          "Nuria",
                                                          "Nerea",
                                                          "Pablo",
                                                          "Patricia",
                                                          "Pedro",
                                                          "Pilar",
                                                          "Rafael",
                                                          "Ramón",
                                                          "Raquel",
                                                          "Raúl",
                                                          "Rocío",
                                                          "Rosa",
                                                          "Rubén",
                                                          "Salvador",
                                                          "Sara",
                                                          "Sergio",
                                                          "Silvia",
                                                          "Sofía",
                                                          "Susana",
                                                          "Tomás",
                                                          "Verónica",
                                                          "Víctor",
                                                          "Yolanda",
                                                          "Zoe"};

constexpr std::array<std::string_view, 64> kSurnames = {
    "García",  "Fernández", "González", "Rodríguez", "López",      "Martínez",  "Sánchez",
    "Pérez",   "Gómez",     "Martín",   "Jiménez",   "Ruiz",       "Hernández", "Díaz",
    "Moreno",  "Muñoz",     "Álvarez",  "Romero",    "Alonso",     "Gutiérrez", "Navarro",
    "Torres",  "Domínguez", "Vázquez",  "Ramos",     "Gil",        "Ramírez",   "Serrano",
    "Blanco",  "Molina",    "Morales",  "Suárez",    "Ortega",     "Delgado",   "Castro",
    "Ortiz",   "Rubio",     "Marín",    "Sanz",      "Núñez",      "Iglesias",  "Medina",
    "Garrido", "Cortés",    "Castillo", "Santos",    "Lozano",     "Guerrero",  "Cano",
    "Prieto",  "Méndez",    "Cruz",     "Calvo",     "Gallego",    "Vidal",     "León",
    "Herrera", "Peña",      "Ibáñez",   "Ibarra",    "Echeverría", "Zubiaurre", "Ordóñez",
    "O'Brien"};

constexpr std::array<std::string_view, 6> kStreetKinds = {"Calle", "Avenida", "Plaza",
                                                          "Paseo", "Camino",  "Ronda"};
constexpr std::array<std::string_view, 24> kStreets = {"Mayor",
                                                       "de Alcalá",
                                                       "del Sol",
                                                       "de la Constitución",
                                                       "de España",
                                                       "Real",
                                                       "de Cervantes",
                                                       "de la Paz",
                                                       "de Goya",
                                                       "del Carmen",
                                                       "de San Martín",
                                                       "de los Olivos",
                                                       "de la Iglesia",
                                                       "Nueva",
                                                       "del Río",
                                                       "de Andalucía",
                                                       "de Castilla",
                                                       "de la Estación",
                                                       "del Mar",
                                                       "de Colón",
                                                       "de Núñez de Balboa",
                                                       "de la Ermita",
                                                       "de Pío XII",
                                                       "de Triana"};

struct Town {
    std::string_view town, province;
};
constexpr std::array<Town, 30> kTowns = {{
    {"Madrid", "Madrid"},
    {"Alcalá de Henares", "Madrid"},
    {"Móstoles", "Madrid"},
    {"Barcelona", "Barcelona"},
    {"Sabadell", "Barcelona"},
    {"Valencia", "Valencia"},
    {"Gandía", "Valencia"},
    {"Sevilla", "Sevilla"},
    {"Écija", "Sevilla"},
    {"Málaga", "Málaga"},
    {"Córdoba", "Córdoba"},
    {"Jaén", "Jaén"},
    {"Almería", "Almería"},
    {"Cádiz", "Cádiz"},
    {"Jerez de la Frontera", "Cádiz"},
    {"Bilbao", "Vizcaya"},
    {"Getxo", "Vizcaya"},
    {"San Sebastián", "Guipúzcoa"},
    {"Vitoria", "Álava"},
    {"Pamplona", "Navarra"},
    {"Logroño", "La Rioja"},
    {"Zaragoza", "Zaragoza"},
    {"León", "León"},
    {"Ávila", "Ávila"},
    {"Cáceres", "Cáceres"},
    {"A Coruña", "A Coruña"},
    {"Ourense", "Ourense"},
    {"Castellón de la Plana", "Castellón"},
    {"Las Palmas de Gran Canaria", "Las Palmas"},
    {"Palma", "Islas Baleares"},
}};

constexpr std::array<std::string_view, 6> kDomains = {
    "correo.es", "ejemplo.com", "mimail.es", "telefonica.net", "uni.es", "empresa.com"};

constexpr std::array<std::string_view, 14> kNotes = {
    "Compañero de la facultad.",
    "Llamar después de las 18:00.",
    "Cumpleaños: regalo pendiente.",
    "Vecina del 3º B.",
    "Trabaja en el ayuntamiento.",
    "Prefiere el correo electrónico.",
    "Conocido en el congreso de Salamanca.",
    "Dentista. Cita cada seis meses.",
    "Fontanero; presupuesto sin IVA.",
    "Amiga de la infancia.\nVive ahora en el extranjero.",
    "Le gusta el fútbol y la montaña.",
    "Socio del club de ajedrez.",
    "Número de fax: 91 555 01 23",
    "Pedir el libro «Cien años de soledad»."};

// splitmix64: a small, well-mixed generator, the same on every platform.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }

  private:
    std::uint64_t state_;
};

Rng rowRng(std::uint64_t seed, std::uint64_t row) {
    Rng mix(seed ^ (row * 0xD1B54A32D192ED03ull));
    return Rng(mix.next());
}

// The first letter in lower case; knows the accented capitals the lists use.
std::string lowerInitial(std::string_view name) {
    std::string s(name);
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z') {
        s[0] = static_cast<char>(s[0] - 'A' + 'a');
    } else if (s.size() >= 2 && static_cast<unsigned char>(s[0]) == 0xC3) {
        auto c = static_cast<unsigned char>(s[1]);
        if (c >= 0x80 && c <= 0x9E && c != 0x97) s[1] = static_cast<char>(c + 0x20);
    }
    return s;
}

// Lower-case ASCII for e-mail addresses: accents dropped, blanks removed.
std::string mailPart(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == 0xC3 && i + 1 < s.size()) {
            auto d = static_cast<unsigned char>(s[++i]) | 0x20;  // lower case
            switch (d) {
                case 0xA1:
                    out += 'a';
                    break;
                case 0xA9:
                    out += 'e';
                    break;
                case 0xAD:
                    out += 'i';
                    break;
                case 0xB3:
                    out += 'o';
                    break;
                case 0xBA:
                case 0xBC:
                    out += 'u';
                    break;
                case 0xB1:
                    out += 'n';
                    break;
                default:
                    break;
            }
        } else if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string twoDigits(int n) {
    return std::string{char('0' + n / 10), char('0' + n % 10)};
}

std::string digits(Rng& rng, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += static_cast<char>('0' + rng.below(10));
    return s;
}

}  // namespace

const std::vector<Value>& DemoGenerator::nameChoices() {
    // Each list name as written, then with a lower-case initial; then the
    // empty name and the null one.
    static const std::vector<Value> choices = [] {
        std::vector<Value> v;
        for (auto n : kFirstNames) v.emplace_back(std::string(n));
        for (auto n : kFirstNames) v.emplace_back(lowerInitial(n));
        v.emplace_back(std::string());
        v.emplace_back(std::nullopt);
        return v;
    }();
    return choices;
}

std::size_t DemoGenerator::nameOf(std::uint64_t row) const {
    Rng rng = rowRng(seed_, row);
    const std::size_t pick = rng.below(1000);
    const std::size_t base = rng.below(kFirstNames.size());
    const std::size_t n = kFirstNames.size();
    if (pick < 5) return 2 * n;       // "" (0.5 %)
    if (pick < 10) return 2 * n + 1;  // null (0.5 %)
    if (pick < 40) return n + base;   // lower-case initial (3 %)
    return base;
}

Contact DemoGenerator::contact(std::uint64_t row) const {
    Contact c;
    const std::size_t name = nameOf(row);
    c[kNombre] = nameChoices()[name];
    // The name's own draws come first (nameOf); skip them.
    Rng rng = rowRng(seed_, row);
    rng.next();
    rng.next();

    std::string surname(kSurnames[rng.below(kSurnames.size())]);
    if (rng.chance(85)) surname.append(" ").append(kSurnames[rng.below(kSurnames.size())]);
    c[kApellido] = surname;

    if (rng.chance(90)) {
        std::string street = std::string(kStreetKinds[rng.below(kStreetKinds.size())]) + " " +
                             std::string(kStreets[rng.below(kStreets.size())]) + ", " +
                             std::to_string(1 + rng.below(180));
        if (rng.chance(50))
            street += ", " + std::to_string(1 + rng.below(9)) + "º " +
                      static_cast<char>('A' + rng.below(4));
        c[kDomicilio] = street;
    }
    if (rng.chance(95)) {
        const Town& t = kTowns[rng.below(kTowns.size())];
        c[kLocalidad] = rng.chance(80) ? std::string(t.town) + "/" + std::string(t.province)
                                       : std::string(t.town);
    }
    if (rng.chance(92)) {
        const bool mobile = rng.chance(55);
        std::string d(mobile ? "6" : "9");
        d += digits(rng, 8);
        c[kTelefono] = d.substr(0, 3) + " " + d.substr(3, 3) + " " + d.substr(6, 3);
    }
    const bool hasMail = rng.chance(70);
    const std::size_t domain = rng.below(kDomains.size());
    if (hasMail && c[kNombre] && !c[kNombre]->empty()) {
        std::string first = mailPart(*c[kNombre]);
        std::string last = mailPart(surname.substr(0, surname.find(' ')));
        c[kEmail] = first + "." + last + "@" + std::string(kDomains[domain]);
    }
    if (rng.chance(15)) c[kIcq] = std::to_string(100000 + rng.below(900000000));
    if (rng.chance(30)) c[kMasInfo] = std::string(kNotes[rng.below(kNotes.size())]);
    if (rng.chance(85)) {
        const int year = 1930 + static_cast<int>(rng.below(79));
        const int month = 1 + static_cast<int>(rng.below(12));
        static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
        const int day = 1 + static_cast<int>(rng.below(days));
        c[kFecha] = std::to_string(year) + "-" + twoDigits(month) + "-" + twoDigits(day);
    }
    // A card saved with empty boxes stores empty texts, not nulls: have some.
    if (rng.chance(5)) {
        for (std::size_t col : {kDomicilio, kTelefono, kEmail, kIcq, kMasInfo})
            if (!c[col]) c[col] = std::string();
    }
    return c;
}

}  // namespace orv::db
