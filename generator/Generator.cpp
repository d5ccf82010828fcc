#include "generator/Generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "dbformat/Coding.h"
#include "dbformat/Layout.h"
#include "support/fs/Paths.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

namespace {

// xoshiro256** seeded by splitmix64: fixed arithmetic, so a seed gives the same stream with every
// compiler and library (the standard distributions are implementation-defined).
class Random {
public:
    explicit Random(std::uint64_t seed) {
        for (std::uint64_t& word : m_state) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(m_state[1] * 5, 7) * 9;
        const std::uint64_t t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = rotl(m_state[3], 45);
        return result;
    }

    // 0 <= result < bound, by multiply and shift; the bias is far below anything measured here.
    // REQUIRES: bound > 0.
    std::uint32_t below(std::uint32_t bound) {
        return static_cast<std::uint32_t>(((next() >> 32) * bound) >> 32);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    bool chance(double p) { return unit() < p; }

    void fill(std::uint8_t* p, std::size_t n) {
        for (; n >= 8; p += 8, n -= 8) {
            encodeFixed64(p, next());
        }
        std::uint64_t rest = next();
        for (; n > 0; --n, rest >>= 8) {
            *p++ = static_cast<std::uint8_t>(rest);
        }
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t m_state[4];
};

// A random order of 0..n-1.
std::vector<std::uint32_t> shuffled(std::uint32_t n, Random& random) {
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        order[i] = i;
    }
    for (std::uint32_t i = n; i > 1; --i) {
        std::swap(order[i - 1], order[random.below(i)]);
    }
    return order;
}

// Length byte and text; the text space after the text keeps whatever bytes it held.
// REQUIRES: text.size() <= the field's capacity.
void putShortText(std::uint8_t* field, std::string_view text) {
    field[0] = static_cast<std::uint8_t>(text.size());
    std::memcpy(field + 1, text.data(), text.size());
}

template <std::size_t N>
std::string_view pick(const std::string_view (&choices)[N], Random& random) {
    return choices[random.below(static_cast<std::uint32_t>(N))];
}

constexpr std::string_view kSurnames[] = {
    "abbot",  "brandt", "carver",    "dunmore", "ellery", "fenwick", "garrow",   "holm",
    "ingram", "jessop", "kettering", "lowell",  "marsh",  "norris",  "oakes",    "pryce",
    "quill",  "rowan",  "sallow",    "thorne",  "upton",  "vance",   "whitlock", "yardley"};
constexpr std::string_view kMakers[] = {"Orvel Systems", "Brightmark",   "Tessaly Computing",
                                        "Kestrel",       "Halden Micro", "Vantor"};
constexpr std::string_view kModels[] = {"Station 5200", "Slim 14 G3", "Tower T310",  "Mini M90",
                                        "Vector 3",     "Ridge 15",   "Atlas Pro 2", "Compact 7"};
constexpr char kSerialAlphabet[] = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";

// The day generated databases are "taken" on: fixed, so that the bytes do not depend on the clock.
double referenceNow() {
    return encodeDateTime(2026, 12, 1);
}

// A date-time on `day` (a whole DateTimeValue) at a random second; now and then exactly midnight,
// which the details show without a time.
double timeOnDay(double day, Random& random) {
    if (random.chance(0.03)) {
        return day;
    }
    return day + static_cast<double>(random.below(86400)) / 86400.0;
}

// The DayNumber of the day holding `dateTime`, kept within 1..65535.
std::uint16_t dayNumberOf(double dateTime) {
    const double n = std::floor(dateTime) - kDayNumberBase;
    if (n < 1) {
        return 1;
    }
    return n > 65535 ? std::uint16_t{65535} : static_cast<std::uint16_t>(n);
}

void makeHeader(DatabaseHeader& h, Random& random, std::string_view name, std::string_view comment,
                double created, double updated, double upgraded) {
    random.fill(h.bytes.data(), h.bytes.size());
    encodeFixed32(&h.bytes[header::kDbType], 1);
    encodeFixed32(&h.bytes[header::kDbVersion], 2);
    putShortText(&h.bytes[header::kDbName], name);
    putShortText(&h.bytes[header::kDbComment], comment);
    encodeDouble(&h.bytes[header::kCreated], created);
    encodeDouble(&h.bytes[header::kUpdated], updated);
    encodeDouble(&h.bytes[header::kUpgraded], upgraded);
    encodeFixed32(&h.bytes[header::kUpgradedFromVersion], upgraded > 0 ? 1 : 0);
}

// The node body as it is written, record by record in file order. Every byte depends on the
// order of the draws from `random`: the functions below take them in one fixed order.
struct NodeBody {
    const GeneratorOptions& options;
    Random& random;
    GeneratedDatabase& db;
    std::uint8_t* bytes;
    // Machine numbers are handed out in random order, so that file order is not name order.
    std::vector<std::uint32_t> numbers;
    std::vector<std::uint32_t> machines;  // offset of the first record of each distinct name
};

// An emptied slot: wiped, or still holding what the node left behind.
void writeNullRecord(std::uint8_t* r, Random& random) {
    if (random.chance(0.5)) {
        std::memset(r, 0, node::kSize);
    } else {
        random.fill(r, node::kSize);
    }
    r[node::kNodeName] = 0;
}

// The record's name: the next machine's, or now and then that of an earlier record, the same
// machine inventoried again, its name often typed in another case. Returns that earlier record,
// or null.
const std::uint8_t* writeNodeName(NodeBody& n, std::uint8_t* r, std::uint32_t offset) {
    Random& random = n.random;
    const std::uint8_t* original = nullptr;
    char name[24];
    if (!n.machines.empty() && random.chance(n.options.duplicateRate)) {
        original =
            n.bytes + n.machines[random.below(static_cast<std::uint32_t>(n.machines.size()))];
        const std::size_t length = original[node::kNodeName];
        std::memcpy(name, original + node::kNodeName + 1, length);
        name[length] = '\0';
        const std::uint32_t spelling = random.below(4);
        for (std::size_t c = 0; c < length; ++c) {
            const bool lower = spelling == 1 || (spelling == 2 && c > 0);
            if (lower && name[c] >= 'A' && name[c] <= 'Z') {
                name[c] = static_cast<char>(name[c] - 'A' + 'a');
            }
        }
        ++n.db.counts.duplicates;
    } else {
        const std::uint32_t kind = random.below(20);
        const char* prefix = kind < 16 ? "PC" : kind < 19 ? "LT" : "SRV";
        std::snprintf(name, sizeof name, "%s-%05u", prefix,
                      n.numbers[static_cast<std::uint32_t>(n.machines.size())] + 1);
        n.machines.push_back(offset);
    }
    putShortText(r + node::kNodeName, name);
    return original;
}

// The Inactive byte and the dates: inactive nodes long unseen, most others seen lately.
void writeNodeDates(NodeBody& n, std::uint8_t* r, const std::uint8_t* original) {
    Random& random = n.random;
    const double now = referenceNow();
    const double sevenYears = 7 * 365;
    std::uint8_t inactive = 0;
    if (random.chance(n.options.inactiveRate)) {
        inactive = random.chance(0.1) ? 2 : 1;
        ++n.db.counts.inactive;
    }
    r[node::kInactive] = inactive;

    double lastDay;
    double lastOnline;
    if (original != nullptr && random.chance(0.05)) {
        // Both copies report the same moment: the tie FixDuplicates breaks by list position.
        lastOnline = decodeDouble(original + node::kLastOnline);
        lastDay = std::floor(lastOnline);
    } else {
        if (inactive != 0) {
            lastDay = now - 30 - random.below(static_cast<std::uint32_t>(sevenYears));
        } else if (random.chance(0.75)) {
            lastDay = now - random.below(60);
        } else {
            lastDay = now - random.below(6 * 365);  // still flagged active, long unseen
        }
        lastOnline = timeOnDay(lastDay, random);
    }
    encodeDouble(r + node::kLastOnline, lastOnline);
    encodeDouble(r + node::kHwUpdated, timeOnDay(lastDay - random.below(200), random));
    encodeDouble(r + node::kSwUpdated, timeOnDay(lastDay - random.below(30), random));
    encodeDouble(r + node::kUserUpdated, timeOnDay(lastDay - random.below(400), random));
    const std::uint16_t added = random.chance(0.01) ? 0 : dayNumberOf(lastDay - random.below(1500));
    encodeFixed16(r + node::kAddedDay, added);
    std::uint16_t inactiveDay = 0;
    if (inactive != 0 ? !random.chance(0.03) : random.chance(0.02)) {
        inactiveDay = dayNumberOf(std::min(now, lastDay + 1 + random.below(60)));
    }
    encodeFixed16(r + node::kInactiveDay, inactiveDay);
}

// The user, the maker, the model and the serial number of the machine.
void writeNodeOwner(std::uint8_t* r, Random& random) {
    const bool server = r[node::kNodeName + 1] == 'S' || r[node::kNodeName + 1] == 's';
    char user[node::kUserNameCapacity + 1];
    if (server) {
        std::snprintf(user, sizeof user, "%s", random.chance(0.5) ? "administrator" : "");
    } else {
        // One draw per statement: the order in which arguments are evaluated is unspecified.
        const char* domain = random.chance(0.5) ? "CORP\\" : "";
        const char initial = static_cast<char>('a' + random.below(26));
        const std::string_view surname = pick(kSurnames, random);
        std::snprintf(user, sizeof user, "%s%c%.*s", domain, initial,
                      static_cast<int>(surname.size()), surname.data());
    }
    putShortText(r + node::kUserName, user);
    putShortText(r + node::kManufacturer, pick(kMakers, random));
    putShortText(r + node::kModel, pick(kModels, random));
    char serial[12];
    const std::uint32_t serialLength = 8 + random.below(4);
    for (std::uint32_t c = 0; c < serialLength; ++c) {
        serial[c] = kSerialAlphabet[random.below(sizeof kSerialAlphabet - 1)];
    }
    putShortText(r + node::kSerialNumber, std::string_view(serial, serialLength));
}

// The node body: NullRecords, distinct names, later copies of some names, dates over the years.
void generateNodes(const GeneratorOptions& o, Random& random, GeneratedDatabase& db) {
    NodeBody n{o, random, db, db.nodes.data.get(), shuffled(o.nodes, random), {}};
    for (std::uint32_t i = 0; i < o.nodes; ++i) {
        const std::uint32_t offset = i * static_cast<std::uint32_t>(node::kSize);
        std::uint8_t* r = n.bytes + offset;
        if (random.chance(o.nullRate)) {
            writeNullRecord(r, random);
            ++db.counts.nullRecords;
            continue;
        }
        random.fill(r, node::kSize);
        const std::uint8_t* original = writeNodeName(n, r, offset);
        writeNodeDates(n, r, original);
        writeNodeOwner(r, random);
    }
}

void generateTitles(const GeneratorOptions& o, Random& random, GeneratedDatabase& db,
                    std::vector<std::uint32_t>& named) {
    std::uint8_t* body = db.titles.data.get();
    for (std::uint32_t t = 0; t < o.titles; ++t) {
        std::uint8_t* r = body + std::size_t{t} * title::kSize;
        random.fill(r, title::kSize);
        char text[40];
        const std::string_view maker = pick(kMakers, random);
        const std::uint32_t major = 1 + random.below(12);
        const std::uint32_t minor = random.below(10);
        const int length =
            std::snprintf(text, sizeof text, "%.*s Suite %u.%u", static_cast<int>(maker.size()),
                          maker.data(), major, minor);
        putShortText(r, std::string_view(text, static_cast<std::size_t>(length)));
        // Every twentieth title or so is one no install names any more.
        if (!random.chance(0.05)) {
            named.push_back(t);
        }
    }
    if (named.empty() && o.titles > 0) {
        named.push_back(0);
    }
}

void generateInstalls(const GeneratorOptions& o, Random& random, GeneratedDatabase& db,
                      const std::vector<std::uint32_t>& named) {
    // Per-node counts around the average, moved between nodes so that the total stays exact.
    std::vector<std::uint32_t> count(o.nodes, o.installsPerNode);
    for (std::uint32_t i = 0; i < o.nodes; ++i) {
        const std::uint32_t moved = random.below(count[i] / 2 + 1);
        count[i] -= moved;
        count[random.below(o.nodes)] += moved;
    }
    // Most installs of a node arrive with its first inventory; the rest come later, in the order
    // nodes report back.
    std::vector<std::uint32_t> firstBatch(o.nodes);
    for (std::uint32_t i = 0; i < o.nodes; ++i) {
        firstBatch[i] = random.chance(0.3) ? random.below(count[i] + 1) : count[i];
    }
    const std::uint32_t nodeBodySize = o.nodes * static_cast<std::uint32_t>(node::kSize);
    const std::uint32_t titleBodySize = o.titles * static_cast<std::uint32_t>(title::kSize);
    std::vector<bool> titleNamed(o.titles, false);

    std::uint8_t* p = db.installs.data.get();
    auto emit = [&](std::uint32_t nodeIndex) {
        const std::uint64_t bits = random.next();
        std::uint8_t state = 0;
        if (random.chance(o.deadInstallRate)) {
            state = random.chance(0.8) ? 1 : static_cast<std::uint8_t>(2 + random.below(254));
            ++db.counts.deadInstalls;
        }
        std::uint32_t nodeRef = nodeIndex * static_cast<std::uint32_t>(node::kSize);
        std::uint32_t titleRef = 0;
        if (named.empty()) {
            titleRef = random.below(1000) * static_cast<std::uint32_t>(title::kSize);
        } else {
            // Popular titles sit on many nodes: the square skews the choice to the front.
            const double u = random.unit();
            const auto pickIndex =
                static_cast<std::size_t>(u * u * static_cast<double>(named.size()));
            titleRef = named[pickIndex] * static_cast<std::uint32_t>(title::kSize);
        }
        if (random.chance(o.danglingRate)) {
            switch (random.below(4)) {
                case 0:  // a node beyond the body
                    nodeRef =
                        nodeBodySize + random.below(1000) * static_cast<std::uint32_t>(node::kSize);
                    break;
                case 1:  // inside a node record, not at its start
                    nodeRef += 1 + random.below(static_cast<std::uint32_t>(node::kSize) - 1);
                    break;
                case 2:  // a title beyond the body
                    titleRef = titleBodySize +
                               random.below(100) * static_cast<std::uint32_t>(title::kSize);
                    break;
                default:  // inside a title record
                    titleRef += 1 + random.below(static_cast<std::uint32_t>(title::kSize) - 1);
                    break;
            }
            ++db.counts.danglingInstalls;
        }
        if (titleRef < titleBodySize && titleRef % title::kSize == 0) {
            titleNamed[titleRef / title::kSize] = true;
        }
        p[install::kInstallState] = state;
        encodeFixed32(p + install::kInstallData, static_cast<std::uint32_t>(bits));
        encodeFixed32(p + install::kNodeRef, nodeRef);
        encodeFixed32(p + install::kTitleRef, titleRef);
        p += install::kSize;
    };

    for (std::uint32_t i = 0; i < o.nodes; ++i) {
        for (std::uint32_t k = 0; k < firstBatch[i]; ++k) {
            emit(i);
        }
    }
    for (std::uint32_t i : shuffled(o.nodes, random)) {
        for (std::uint32_t k = firstBatch[i]; k < count[i]; ++k) {
            emit(i);
        }
    }
    for (bool isNamed : titleNamed) {
        db.counts.orphanedTitles += isNamed ? 0 : 1;
    }
}

}  // namespace

void checkGeneratorOptions(const GeneratorOptions& o) {
    const std::pair<const char*, double> rates[] = {{"--duplicate-rate", o.duplicateRate},
                                                    {"--null-rate", o.nullRate},
                                                    {"--inactive-rate", o.inactiveRate},
                                                    {"--dead-install-rate", o.deadInstallRate},
                                                    {"--dangling-rate", o.danglingRate}};
    for (const auto& [option, rate] : rates) {
        if (!(rate >= 0.0 && rate <= 1.0)) {
            throw GeneratorOptionError(std::string(option) + " must lie between 0 and 1");
        }
    }
    if (o.nodes > kMaxGeneratedNodes) {
        throw GeneratorOptionError("--nodes must not exceed " + std::to_string(kMaxGeneratedNodes));
    }
    if (o.titles > kMaxGeneratedTitles) {
        throw GeneratorOptionError("--titles must not exceed " +
                                   std::to_string(kMaxGeneratedTitles));
    }
    if (std::uint64_t{o.nodes} * o.installsPerNode > kMaxGeneratedInstalls) {
        throw GeneratorOptionError("--nodes times --installs-per-node must not exceed " +
                                   std::to_string(kMaxGeneratedInstalls));
    }
}

GeneratedDatabase generateDatabase(const GeneratorOptions& options) {
    checkGeneratorOptions(options);
    GeneratedDatabase db;
    Random random(options.seed);

    const double now = referenceNow();
    const double created = timeOnDay(encodeDateTime(2016, 4, 11) + random.below(400), random);
    const double upgraded =
        random.chance(0.5) ? timeOnDay(created + 700 + random.below(300), random) : 0.0;
    const double updated = timeOnDay(now - random.below(3), random);
    makeHeader(db.nodeHeader, random, "KavrinServer", "Inventory of all sites", created, updated,
               upgraded);
    // The server rewrites each file on its own schedule, so their headers never quite agree.
    makeHeader(db.installHeader, random, "KavrinServer", "Inventory of all sites", created,
               updated - static_cast<double>(1 + random.below(600)) / 1440.0, upgraded);
    makeHeader(db.titleHeader, random, "KavrinServer Titles", "Software catalogue", created,
               updated - static_cast<double>(1 + random.below(30)), 0.0);

    // The limits checked above keep every size well inside std::size_t.
    db.nodes = allocateFileBytes(std::size_t{options.nodes} * node::kSize);
    db.titles = allocateFileBytes(std::size_t{options.titles} * title::kSize);
    db.installs =
        allocateFileBytes(std::size_t{options.nodes} * options.installsPerNode * install::kSize);

    generateNodes(options, random, db);
    std::vector<std::uint32_t> named;
    generateTitles(options, random, db, named);
    generateInstalls(options, random, db, named);
    return db;
}

void writeGeneratedDatabase(FileSystem& fs, const std::string& folder,
                            const GeneratedDatabase& db) {
    fs.createDirectories(folder);
    const std::pair<const char*, std::pair<const DatabaseHeader*, const FileBytes*>> files[] = {
        {filename::kNodeSave, {&db.nodeHeader, &db.nodes}},
        {filename::kInstallSave, {&db.installHeader, &db.installs}},
        {filename::kTitleSave, {&db.titleHeader, &db.titles}}};
    for (const auto& [name, file] : files) {
        const std::span<const std::uint8_t> parts[] = {
            std::span<const std::uint8_t>(file.first->bytes.data(), file.first->bytes.size()),
            std::span<const std::uint8_t>(file.second->data.get(), file.second->size)};
        fs.writeFile(joinPath(folder, name), parts, false);
    }
}

}  // namespace kavrin
