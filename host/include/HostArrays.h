// The host's byte and string arrays (MFC semantics): storage pointer, size,
// capacity and growth step, in that order, no virtual table. Callers may index
// the storage directly through GetData().
#pragma once

#include "HostString.h"
#include "ZevoHostApi.h"

class ZEVO_HOST_API CByteArray {
public:
    CByteArray();
    CByteArray(const CByteArray&) = delete;
    CByteArray& operator=(const CByteArray&) = delete;
    ~CByteArray();

    int GetSize() const { return m_nSize; }
    int GetCount() const { return m_nSize; }
    int GetUpperBound() const { return m_nSize - 1; }
    bool IsEmpty() const { return m_nSize == 0; }
    void SetSize(int newSize, int growBy = -1);
    void FreeExtra();
    void RemoveAll() { SetSize(0); }

    unsigned char GetAt(int index) const { return m_pData[index]; }
    void SetAt(int index, unsigned char value) { m_pData[index] = value; }
    unsigned char& ElementAt(int index) { return m_pData[index]; }
    unsigned char operator[](int index) const { return m_pData[index]; }
    unsigned char& operator[](int index) { return m_pData[index]; }
    const unsigned char* GetData() const { return m_pData; }
    unsigned char* GetData() { return m_pData; }

    void SetAtGrow(int index, unsigned char value);
    int Add(unsigned char value);
    int Append(const CByteArray& src);
    void Copy(const CByteArray& src);
    void InsertAt(int index, unsigned char value, int count = 1);
    void RemoveAt(int index, int count = 1);

private:
    unsigned char* m_pData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;
};

class ZEVO_HOST_API CStringArray {
public:
    CStringArray();
    CStringArray(const CStringArray&) = delete;
    CStringArray& operator=(const CStringArray&) = delete;
    ~CStringArray();

    int GetSize() const { return m_nSize; }
    int GetCount() const { return m_nSize; }
    int GetUpperBound() const { return m_nSize - 1; }
    bool IsEmpty() const { return m_nSize == 0; }
    void SetSize(int newSize, int growBy = -1);
    void FreeExtra();
    void RemoveAll() { SetSize(0); }

    const CString& GetAt(int index) const { return m_pData[index]; }
    void SetAt(int index, const char* value) { m_pData[index] = value; }
    void SetAt(int index, const CString& value) { m_pData[index] = value; }
    CString& ElementAt(int index) { return m_pData[index]; }
    const CString& operator[](int index) const { return m_pData[index]; }
    CString& operator[](int index) { return m_pData[index]; }
    const CString* GetData() const { return m_pData; }
    CString* GetData() { return m_pData; }

    void SetAtGrow(int index, const CString& value);
    int Add(const CString& value);
    int Append(const CStringArray& src);
    void Copy(const CStringArray& src);
    void InsertAt(int index, const CString& value, int count = 1);
    void RemoveAt(int index, int count = 1);

private:
    CString* m_pData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;
};
