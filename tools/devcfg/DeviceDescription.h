// Device descriptions for the bench tools: a device in TOML (the ten device
// properties by readable names and a list of channels written as PLC
// addresses) turned into the driver's channel rows and configuration blob,
// and a blob turned back into the same TOML.
//
// Rows are built by the driver's own routines (CDevBas::mfMakeDevRowsFromSChlInfo)
// and the blob is written and read through the driver's archive and table
// classes, so the tools and the plug-in always agree on names and layout.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "DataType.h"

namespace devdesc {

// A description that cannot be used. The message names the file, the line
// and the field: "demo.toml:12: channel 3, address: unknown area 'Q'".
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One channel row as stored in the blob.
struct Row {
    uint32_t rw = 2;    // 0 read only, 1 write only, 2 read and write
    uint32_t type = 0;  // channel type 0-28 (area)
    uint32_t address = 0;
    uint32_t bit = 0;   // bit of a word, or string length
    uint32_t code = 0;  // data-type code: 0-15 bit of a word, 20 bit area, 83-93, 131 string
    uint32_t fast = 0;
    uint32_t readMax = 0;
    std::string name;
};

struct Description {
    std::vector<int32_t> properties;        // device properties 0-9 (a blob may hold more or fewer)
    std::vector<Row> rows;                  // channel index = row index
    std::vector<std::string> simulatorSet;  // [simulator] set = ["D100=5", ...]
    bool oldForm = false;                   // read from a blob without version header
};

// The device properties: TOML key, index, and the first of their option
// labels in the driver's label table (-1: a plain number).
struct PropertyInfo {
    const char* key;
    int index;
    int firstLabel;
    int labelCount;
};
const std::vector<PropertyInfo>& Properties();

// Reads a TOML description; throws Error.
Description ParseToml(std::string_view text, const std::string& sourceName);
Description LoadToml(const std::string& path);
// Reads a configuration blob (with or without version header); throws Error.
Description ReadBlob(const std::vector<uint8_t>& blob, const std::string& sourceName);
// .toml files are descriptions, anything else a blob.
Description LoadAny(const std::string& path);

// The blob in its current form (version header), written through the
// driver's archive and table classes.
std::vector<uint8_t> BuildBlob(const Description& description);

// TOML that builds the same blob again: properties with their option labels,
// then one channel per row. Rows that no channel can describe are listed as
// comments and reported in problems.
std::string DumpToml(const Description& description, std::vector<std::string>* problems = nullptr);

// The database type of a row's value: integers, doubles (32-bit unsigned,
// floats and 64-bit values) or text.
DATATYPE ValueType(const Row& row);
// "WUB", "BT03", "BIT", "STR" for a row's data-type code.
std::string TypeName(const Row& row);
// The row's element as written by engineers: "D100", "D100.03", "X17".
std::string AddressText(const Row& row);
// The text in double quotes with \\, \" and control characters escaped: a
// TOML basic string and a JSON string alike.
std::string Quote(const std::string& s);

}  // namespace devdesc
