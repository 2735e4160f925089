// MFC-compatible byte and string arrays of the host runtime.
#include "HostArrays.h"

#include <cstring>
#include <new>

namespace {

// MFC growth: the grow-by step, or size / 8 clamped to 4..1024 when it is 0.
int GrowStep(int growBy, int size) {
    if (growBy > 0) return growBy;
    int step = size / 8;
    return step < 4 ? 4 : (step > 1024 ? 1024 : step);
}

}  // namespace

// ---------------------------------------------------------------- CByteArray

CByteArray::CByteArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}

CByteArray::~CByteArray() { delete[] m_pData; }

void CByteArray::SetSize(int newSize, int growBy) {
    if (growBy >= 0) m_nGrowBy = growBy;
    if (newSize < 0) newSize = 0;
    if (newSize == 0) {
        delete[] m_pData;
        m_pData = nullptr;
        m_nSize = m_nMaxSize = 0;
    } else if (m_pData == nullptr) {
        int alloc = newSize > m_nGrowBy ? newSize : m_nGrowBy;
        m_pData = new unsigned char[alloc];
        std::memset(m_pData, 0, alloc);
        m_nSize = newSize;
        m_nMaxSize = alloc;
    } else if (newSize <= m_nMaxSize) {
        if (newSize > m_nSize) std::memset(m_pData + m_nSize, 0, newSize - m_nSize);
        m_nSize = newSize;
    } else {
        int step = GrowStep(m_nGrowBy, m_nSize);
        int newMax = newSize < m_nMaxSize + step ? m_nMaxSize + step : newSize;
        unsigned char* data = new unsigned char[newMax];
        std::memcpy(data, m_pData, m_nSize);
        std::memset(data + m_nSize, 0, newMax - m_nSize);
        delete[] m_pData;
        m_pData = data;
        m_nSize = newSize;
        m_nMaxSize = newMax;
    }
}

void CByteArray::FreeExtra() {
    if (m_nSize == m_nMaxSize) return;
    unsigned char* data = nullptr;
    if (m_nSize != 0) {
        data = new unsigned char[m_nSize];
        std::memcpy(data, m_pData, m_nSize);
    }
    delete[] m_pData;
    m_pData = data;
    m_nMaxSize = m_nSize;
}

void CByteArray::SetAtGrow(int index, unsigned char value) {
    if (index < 0) return;
    if (index >= m_nSize) SetSize(index + 1, -1);
    m_pData[index] = value;
}

int CByteArray::Add(unsigned char value) {
    int index = m_nSize;
    SetAtGrow(index, value);
    return index;
}

int CByteArray::Append(const CByteArray& src) {
    int old = m_nSize;
    if (&src == this) {
        CByteArray copy;
        copy.Copy(src);
        return Append(copy);
    }
    SetSize(m_nSize + src.m_nSize);
    if (src.m_nSize > 0) std::memcpy(m_pData + old, src.m_pData, src.m_nSize);
    return old;
}

void CByteArray::Copy(const CByteArray& src) {
    if (&src == this) return;
    SetSize(src.m_nSize);
    if (src.m_nSize > 0) std::memcpy(m_pData, src.m_pData, src.m_nSize);
}

void CByteArray::InsertAt(int index, unsigned char value, int count) {
    if (index < 0 || count <= 0) return;
    if (index >= m_nSize) {
        SetSize(index + count, -1);
    } else {
        int old = m_nSize;
        SetSize(m_nSize + count, -1);
        std::memmove(m_pData + index + count, m_pData + index, old - index);
    }
    std::memset(m_pData + index, value, count);
}

void CByteArray::RemoveAt(int index, int count) {
    if (index < 0 || count <= 0 || index >= m_nSize) return;
    if (count > m_nSize - index) count = m_nSize - index;
    std::memmove(m_pData + index, m_pData + index + count, m_nSize - index - count);
    m_nSize -= count;
}

// -------------------------------------------------------------- CStringArray

namespace {

// Strings are one pointer each; a zeroed pointer is not a valid CString, so
// new slots are constructed in place.
void ConstructStrings(CString* at, int count) {
    for (int i = 0; i < count; ++i) new (at + i) CString();
}

void DestroyStrings(CString* at, int count) {
    for (int i = 0; i < count; ++i) at[i].~CString();
}

CString* AllocStrings(int count) {
    return static_cast<CString*>(::operator new(static_cast<size_t>(count) * sizeof(CString)));
}

}  // namespace

CStringArray::CStringArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}

CStringArray::~CStringArray() {
    DestroyStrings(m_pData, m_nSize);
    ::operator delete(m_pData);
}

void CStringArray::SetSize(int newSize, int growBy) {
    if (growBy >= 0) m_nGrowBy = growBy;
    if (newSize < 0) newSize = 0;
    if (newSize == 0) {
        DestroyStrings(m_pData, m_nSize);
        ::operator delete(m_pData);
        m_pData = nullptr;
        m_nSize = m_nMaxSize = 0;
    } else if (m_pData == nullptr) {
        int alloc = newSize > m_nGrowBy ? newSize : m_nGrowBy;
        m_pData = AllocStrings(alloc);
        ConstructStrings(m_pData, newSize);
        m_nSize = newSize;
        m_nMaxSize = alloc;
    } else if (newSize <= m_nMaxSize) {
        if (newSize > m_nSize)
            ConstructStrings(m_pData + m_nSize, newSize - m_nSize);
        else
            DestroyStrings(m_pData + newSize, m_nSize - newSize);
        m_nSize = newSize;
    } else {
        int step = GrowStep(m_nGrowBy, m_nSize);
        int newMax = newSize < m_nMaxSize + step ? m_nMaxSize + step : newSize;
        CString* data = AllocStrings(newMax);
        // A CString is a single pointer to shared characters: it relocates bitwise.
        std::memcpy(static_cast<void*>(data), static_cast<const void*>(m_pData), m_nSize * sizeof(CString));
        ConstructStrings(data + m_nSize, newSize - m_nSize);
        ::operator delete(m_pData);
        m_pData = data;
        m_nSize = newSize;
        m_nMaxSize = newMax;
    }
}

void CStringArray::FreeExtra() {
    if (m_nSize == m_nMaxSize) return;
    CString* data = nullptr;
    if (m_nSize != 0) {
        data = AllocStrings(m_nSize);
        std::memcpy(static_cast<void*>(data), static_cast<const void*>(m_pData), m_nSize * sizeof(CString));
    }
    ::operator delete(m_pData);
    m_pData = data;
    m_nMaxSize = m_nSize;
}

void CStringArray::SetAtGrow(int index, const CString& value) {
    if (index < 0) return;
    CString keep(value);  // the value may live in this array
    if (index >= m_nSize) SetSize(index + 1, -1);
    m_pData[index] = keep;
}

int CStringArray::Add(const CString& value) {
    int index = m_nSize;
    SetAtGrow(index, value);
    return index;
}

int CStringArray::Append(const CStringArray& src) {
    int old = m_nSize;
    if (&src == this) {
        CStringArray copy;
        copy.Copy(src);
        return Append(copy);
    }
    SetSize(m_nSize + src.m_nSize);
    for (int i = 0; i < src.m_nSize; ++i) m_pData[old + i] = src.m_pData[i];
    return old;
}

void CStringArray::Copy(const CStringArray& src) {
    if (&src == this) return;
    SetSize(src.m_nSize);
    for (int i = 0; i < src.m_nSize; ++i) m_pData[i] = src.m_pData[i];
}

void CStringArray::InsertAt(int index, const CString& value, int count) {
    if (index < 0 || count <= 0) return;
    CString keep(value);
    if (index >= m_nSize) {
        SetSize(index + count, -1);
    } else {
        int old = m_nSize;
        SetSize(m_nSize + count, -1);
        // Drop the freshly constructed tail, shift bitwise, and construct the gap.
        DestroyStrings(m_pData + old, count);
        std::memmove(static_cast<void*>(m_pData + index + count), static_cast<const void*>(m_pData + index),
                     (old - index) * sizeof(CString));
        ConstructStrings(m_pData + index, count);
    }
    for (int i = 0; i < count; ++i) m_pData[index + i] = keep;
}

void CStringArray::RemoveAt(int index, int count) {
    if (index < 0 || count <= 0 || index >= m_nSize) return;
    if (count > m_nSize - index) count = m_nSize - index;
    DestroyStrings(m_pData + index, count);
    int tail = m_nSize - index - count;
    std::memmove(static_cast<void*>(m_pData + index), static_cast<const void*>(m_pData + index + count),
                 tail * sizeof(CString));
    m_nSize -= count;
}
