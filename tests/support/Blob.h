// Configuration blobs built byte by byte, independently of the driver's
// archive classes, for tests that check the stored format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TestRow {
    uint32_t rwFlag = 2;
    uint32_t chlType = 14;
    uint32_t address = 0;
    uint32_t bit = 0;
    uint32_t dataType = 83;
    uint32_t fast = 0;
    uint32_t readMax = 0;
    std::string name;
};

// The one builder of channel rows for blobs and device records: a read-write
// row unless told otherwise; for strings, bit is the length in bytes.
inline TestRow MakeRow(uint32_t chlType, uint32_t address, uint32_t dataType, uint32_t bit = 0, uint32_t rwFlag = 2) {
    TestRow row;
    row.rwFlag = rwFlag;
    row.chlType = chlType;
    row.address = address;
    row.bit = bit;
    row.dataType = dataType;
    return row;
}

class BlobWriter {
public:
    BlobWriter& U16(uint16_t v);
    BlobWriter& U32(uint32_t v);
    BlobWriter& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
    BlobWriter& Text(const std::string& s);  // 4-byte count, then the bytes
    BlobWriter& Row(const TestRow& row);
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

// A current-form blob (header 20000) or an old-form blob (no header) with the
// given properties and rows.
std::vector<uint8_t> MakeBlob(const std::vector<int32_t>& properties, const std::vector<TestRow>& rows,
                              bool withHeader = true);
// Ten properties: station 1, wait time 100 ms, every order 0.
std::vector<int32_t> DefaultProperties();
