// Little-endian archive with a 2-byte version header.
#include "OwnerArchive.h"

#include <cstring>
#include <new>

namespace {

// Bit copies between floating-point values and their integer images.
uint32_t FloatBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

uint64_t DoubleBits(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

COwnerArchive::COwnerArchive(ARCHIVESTATUS status) : m_nPosition(0), m_eStatus(status) {}

COwnerArchive::~COwnerArchive() { m_arBuffer.RemoveAll(); }

int COwnerArchive::mfCheckBuffer(int len) {
    if (len < 0) return 0;
    if (m_eStatus != ARCHIVE_LOADING) {
        int64_t needed = static_cast<int64_t>(m_nPosition) + len;
        if (needed > m_arBuffer.GetSize()) {
            int64_t grown = static_cast<int64_t>(m_arBuffer.GetSize()) + ARCHIVE_GROW_STEP;
            int64_t size = needed > grown ? needed : grown;
            if (size > INT32_MAX) return 0;
            m_arBuffer.SetSize(static_cast<int>(size), -1);
        }
        return 1;
    }
    return static_cast<int64_t>(m_arBuffer.GetSize()) >= static_cast<int64_t>(m_nPosition) + len ? 1 : 0;
}

int COwnerArchive::SvrGetRemaining() const {
    if (m_eStatus != ARCHIVE_LOADING) return 0;
    int left = m_arBuffer.GetSize() - m_nPosition;
    return left > 0 ? left : 0;
}

void COwnerArchive::SvrChangeMode(ARCHIVESTATUS status) {
    if (status != m_eStatus) {
        m_eStatus = status;
        if (m_nPosition != 0) m_arBuffer.SetSize(m_nPosition, -1);
        m_nPosition = 0;
    } else if (m_nPosition != 0) {
        return;
    }
    if (status == ARCHIVE_STORING) {
        *this << ARCHIVE_VERSION;
    } else {
        unsigned short version = 0;
        *this >> version;
        if (version < ARCHIVE_VERSION) m_nPosition = 0;
    }
}

int COwnerArchive::SvrWrite(const unsigned char* data, int len) {
    if (m_eStatus == ARCHIVE_LOADING) SvrChangeMode(ARCHIVE_STORING);
    int ok = mfCheckBuffer(len);
    if (ok && len > 0) {
        std::memcpy(m_arBuffer.GetData() + m_nPosition, data, len);
        m_nPosition += len;
    }
    return ok;
}

int COwnerArchive::SvrRead(unsigned char* data, int len) {
    if (m_eStatus == ARCHIVE_STORING) SvrChangeMode(ARCHIVE_LOADING);
    int ok = mfCheckBuffer(len);
    if (ok && len > 0) {
        std::memcpy(data, m_arBuffer.GetData() + m_nPosition, len);
        m_nPosition += len;
    }
    return ok;
}

int COwnerArchive::SvrWrite(CByteArray& bytes) {
    int len = bytes.GetSize();
    int ok = mfCheckBuffer(len);
    if (ok && len > 0) {
        std::memcpy(m_arBuffer.GetData() + m_nPosition, bytes.GetData(), len);
        m_nPosition += len;
    }
    return ok;
}

int COwnerArchive::SvrRead(CByteArray& bytes) {
    int len = bytes.GetSize();
    int ok = mfCheckBuffer(len);
    if (ok && len > 0) {
        std::memcpy(bytes.GetData(), m_arBuffer.GetData() + m_nPosition, len);
        m_nPosition += len;
    }
    return ok;
}

unsigned short COwnerArchive::GetNowVersion() {
    if (m_arBuffer.GetSize() < 2) return 0;
    const unsigned char* bytes = m_arBuffer.GetData();
    return static_cast<unsigned short>(bytes[0] | (bytes[1] << 8));
}

void COwnerArchive::WriteUnsigned(uint64_t value, int bytes) {
    unsigned char out[8];
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
    SvrWrite(out, bytes);
}

bool COwnerArchive::ReadUnsigned(uint64_t& value, int bytes) {
    unsigned char in[8];
    if (!SvrRead(in, bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return true;
}

COwnerArchive& COwnerArchive::operator<<(char value) {
    WriteUnsigned(static_cast<unsigned char>(value), 1);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(unsigned char value) {
    WriteUnsigned(value, 1);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(bool value) {
    WriteUnsigned(value ? 1 : 0, 1);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(unsigned short value) {
    WriteUnsigned(value, 2);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(int value) {
    WriteUnsigned(static_cast<uint32_t>(value), 4);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(long value) {
    // long is 4 bytes in the archive on every target.
    WriteUnsigned(static_cast<uint32_t>(value), 4);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(unsigned int value) {
    WriteUnsigned(value, 4);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(float value) {
    WriteUnsigned(FloatBits(value), 4);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(double value) {
    WriteUnsigned(DoubleBits(value), 8);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(const CString& value) {
    // The count is the length up to the first NUL byte.
    int length = static_cast<int>(strnlen(value.c_str(), static_cast<size_t>(value.GetLength())));
    *this << length;
    SvrWrite(reinterpret_cast<const unsigned char*>(value.c_str()), length);
    return *this;
}
COwnerArchive& COwnerArchive::operator<<(COwnerObject& object) {
    SvrChangeMode(ARCHIVE_STORING);
    object.Serialize(*this);
    return *this;
}

COwnerArchive& COwnerArchive::operator>>(char& value) {
    uint64_t raw;
    if (ReadUnsigned(raw, 1)) value = static_cast<char>(raw);
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(unsigned char& value) {
    uint64_t raw;
    if (ReadUnsigned(raw, 1)) value = static_cast<unsigned char>(raw);
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(bool& value) {
    // Only the byte 01 is true; with no byte left the target keeps its value.
    uint64_t raw;
    if (ReadUnsigned(raw, 1)) value = raw == 1;
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(unsigned short& value) {
    uint64_t raw;
    if (ReadUnsigned(raw, 2)) value = static_cast<unsigned short>(raw);
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(int& value) {
    uint64_t raw;
    if (ReadUnsigned(raw, 4)) value = static_cast<int32_t>(static_cast<uint32_t>(raw));
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(long& value) {
    uint64_t raw;
    if (ReadUnsigned(raw, 4)) value = static_cast<int32_t>(static_cast<uint32_t>(raw));
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(unsigned int& value) {
    uint64_t raw;
    if (ReadUnsigned(raw, 4)) value = static_cast<uint32_t>(raw);
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(float& value) {
    uint64_t raw;
    if (ReadUnsigned(raw, 4)) {
        uint32_t bits = static_cast<uint32_t>(raw);
        std::memcpy(&value, &bits, sizeof value);
    }
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(double& value) {
    uint64_t raw;
    if (ReadUnsigned(raw, 8)) std::memcpy(&value, &raw, sizeof value);
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(CString& value) {
    int length = 0;
    *this >> length;
    // A count that is negative or larger than what remains cannot be a string
    // of this archive: the string is left empty and nothing more is read.
    if (length <= 0 || length > SvrGetRemaining()) {
        value.Empty();
        return *this;
    }
    char* buffer = new (std::nothrow) char[static_cast<size_t>(length) + 1];
    if (buffer == nullptr) return *this;
    buffer[length] = '\0';
    if (SvrRead(reinterpret_cast<unsigned char*>(buffer), length))
        value = CString(buffer, static_cast<int>(strnlen(buffer, static_cast<size_t>(length))));
    else
        value.Empty();
    delete[] buffer;
    return *this;
}
COwnerArchive& COwnerArchive::operator>>(COwnerObject& object) {
    SvrChangeMode(ARCHIVE_LOADING);
    object.Serialize(*this);
    return *this;
}
