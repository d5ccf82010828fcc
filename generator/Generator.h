#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "dbformat/Records.h"
#include "support/fs/FileSystem.h"

namespace kavrin {

// What a generated database looks like. Rates are fractions from 0 to 1.
struct GeneratorOptions {
    std::uint32_t nodes = 1000;          // node records, NullRecords included
    std::uint32_t installsPerNode = 20;  // on average; the install file holds nodes x this
    std::uint32_t titles = 500;          // title records
    std::uint64_t seed = 1;
    double duplicateRate = 0.02;    // named records whose name an earlier record already bears
    double nullRate = 0.01;         // node records that are NullRecords
    double inactiveRate = 0.10;     // named records with a non-zero Inactive byte
    double deadInstallRate = 0.05;  // install records with a non-zero InstallState
    double danglingRate = 0.002;    // install records whose NodeRef or TitleRef names no record
};

// Largest sizes accepted: every BodyOffset a generated install holds must fit 32 bits, and the
// install body must stay below 4 GiB.
constexpr std::uint32_t kMaxGeneratedNodes = 5'000'000;
constexpr std::uint32_t kMaxGeneratedTitles = 30'000'000;
constexpr std::uint64_t kMaxGeneratedInstalls = 300'000'000;

// What the generator put into the bodies, as it decided it.
struct GeneratedCounts {
    std::uint32_t nullRecords = 0;
    std::uint32_t duplicates = 0;  // named records after the first of their name
    std::uint32_t inactive = 0;    // named records with a non-zero Inactive byte
    std::uint64_t deadInstalls = 0;
    std::uint64_t danglingInstalls = 0;
    std::uint32_t orphanedTitles = 0;  // titles no install names
};

// The three files of a generated database, each a header and a body.
struct GeneratedDatabase {
    DatabaseHeader nodeHeader;
    DatabaseHeader installHeader;  // differs from nodeHeader, as on real servers
    DatabaseHeader titleHeader;    // differs from both
    // Allocated as the file layer allocates whole files, not zeroed first: every byte is generated.
    FileBytes nodes;
    FileBytes installs;
    FileBytes titles;
    GeneratedCounts counts;
};

// Thrown for options that cannot make a database (a rate outside 0..1, sizes above the limits).
// The message names the option by its command-line spelling and never repeats its value.
class GeneratorOptionError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Throws GeneratorOptionError when `options` cannot make a database.
void checkGeneratorOptions(const GeneratorOptions& options);

// Builds a plausible database from the options alone: the same options give the same bytes on
// every machine (no clock, no library distributions). Throws GeneratorOptionError.
GeneratedDatabase generateDatabase(const GeneratorOptions& options);

// Writes Kavrin.cmp, Kavrin.ist and Kavrin.ttl into `folder`, creating it with every missing
// level and replacing the files there; each file goes out in one write. Throws the file
// layer's errors.
void writeGeneratedDatabase(FileSystem& fs, const std::string& folder, const GeneratedDatabase& db);

}  // namespace kavrin
