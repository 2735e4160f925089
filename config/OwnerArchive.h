// A growable little-endian byte archive with a 2-byte version header, through
// which the configuration blob is read and the channel rows and tables
// serialise themselves.
#pragma once

#include <cstdint>

#include "HostArrays.h"
#include "HostString.h"

enum ARCHIVESTATUS {
    ARCHIVE_LOADING = 0,
    ARCHIVE_STORING = 1,
};

// The format version written by this driver and the highest it reads.
const unsigned short ARCHIVE_VERSION = 20000;
// Growth step of the archive's buffer while storing.
const int ARCHIVE_GROW_STEP = 16534;

class COwnerArchive;

class COwnerObject {
public:
    virtual ~COwnerObject() {}
    virtual void Serialize(COwnerArchive& ar) = 0;
};

class COwnerArchive {
public:
    explicit COwnerArchive(ARCHIVESTATUS status);
    virtual ~COwnerArchive();
    COwnerArchive(const COwnerArchive&) = delete;
    COwnerArchive& operator=(const COwnerArchive&) = delete;

    bool IsStoring() const { return m_eStatus == ARCHIVE_STORING; }
    void SvrSeekToBegin() { m_nPosition = 0; }
    int SvrGetBufferSize() const { return m_nPosition; }
    int SvrGetRealBufferSize() const { return m_arBuffer.GetSize(); }
    bool IsBufferEnd() const { return m_arBuffer.GetSize() == m_nPosition; }
    // The stored bytes (for writers that hand the blob on).
    const unsigned char* SvrGetBuffer() const { return m_arBuffer.GetData(); }

    int mfCheckBuffer(int len);
    void SvrChangeMode(ARCHIVESTATUS status);
    int SvrWrite(const unsigned char* data, int len);
    int SvrRead(unsigned char* data, int len);
    int Write(const void* data, int len) { return SvrWrite(static_cast<const unsigned char*>(data), len); }
    int Read(void* data, int len) { return SvrRead(static_cast<unsigned char*>(data), len); }
    int SvrWrite(CByteArray& bytes);
    int SvrRead(CByteArray& bytes);
    unsigned short GetNowVersion();
    // Bytes left to read after the position (0 when storing or at the end).
    int SvrGetRemaining() const;

    COwnerArchive& operator<<(char value);
    COwnerArchive& operator<<(unsigned char value);
    COwnerArchive& operator<<(bool value);
    COwnerArchive& operator<<(unsigned short value);
    COwnerArchive& operator<<(int value);
    COwnerArchive& operator<<(long value);
    COwnerArchive& operator<<(unsigned int value);
    COwnerArchive& operator<<(float value);
    COwnerArchive& operator<<(double value);
    COwnerArchive& operator<<(const CString& value);
    COwnerArchive& operator<<(COwnerObject& object);

    COwnerArchive& operator>>(char& value);
    COwnerArchive& operator>>(unsigned char& value);
    COwnerArchive& operator>>(bool& value);
    COwnerArchive& operator>>(unsigned short& value);
    COwnerArchive& operator>>(int& value);
    COwnerArchive& operator>>(long& value);
    COwnerArchive& operator>>(unsigned int& value);
    COwnerArchive& operator>>(float& value);
    COwnerArchive& operator>>(double& value);
    COwnerArchive& operator>>(CString& value);
    COwnerArchive& operator>>(COwnerObject& object);

private:
    void WriteUnsigned(uint64_t value, int bytes);
    bool ReadUnsigned(uint64_t& value, int bytes);

    CByteArray m_arBuffer;
    int m_nPosition;
    ARCHIVESTATUS m_eStatus;
};
