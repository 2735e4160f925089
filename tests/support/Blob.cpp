#include "Blob.h"

BlobWriter& BlobWriter::U16(uint16_t v) {
    m_bytes.push_back(static_cast<uint8_t>(v));
    m_bytes.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
}

BlobWriter& BlobWriter::U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) m_bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
}

BlobWriter& BlobWriter::Text(const std::string& s) {
    U32(static_cast<uint32_t>(s.size()));
    m_bytes.insert(m_bytes.end(), s.begin(), s.end());
    return *this;
}

BlobWriter& BlobWriter::Row(const TestRow& row) {
    U32(row.rwFlag).U32(row.chlType).U32(row.address).U32(row.bit).U32(row.dataType).U32(row.fast);
    U32(row.readMax).Text(row.name);
    return *this;
}

std::vector<uint8_t> MakeBlob(const std::vector<int32_t>& properties, const std::vector<TestRow>& rows,
                              bool withHeader) {
    BlobWriter w;
    if (withHeader) w.U16(20000);
    w.I32(static_cast<int32_t>(properties.size()));
    for (int32_t p : properties) w.I32(p);
    w.I32(static_cast<int32_t>(rows.size()));
    for (const TestRow& r : rows) w.Row(r);
    return w.Bytes();
}

std::vector<int32_t> DefaultProperties() { return {1, 100, 0, 0, 0, 0, 0, 0, 0, 0}; }
