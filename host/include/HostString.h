// The host's string class: an MFC-compatible CString.
//
// Layout: one pointer to the characters, which are preceded by a header of
// reference count, length and capacity. Copies share the characters until one
// of them changes (copy on write). The empty string points at the shared
// _afxPchNil, whose header is locked (reference count -1).
#pragma once

#include <cstdarg>
#include <cstddef>

#include "ZevoHostApi.h"

struct CStringData {
    long nRefs;        // -1: the shared empty string, never freed
    int nDataLength;   // characters, without the terminator
    int nAllocLength;  // room for characters, without the terminator
    char* data() { return reinterpret_cast<char*>(this + 1); }
};

extern "C" ZEVO_HOST_API const char* _afxPchNil;

class ZEVO_HOST_API CString {
public:
    CString();
    CString(const CString& other);
    CString(const char* text);
    CString(const char* text, int length);
    CString(char ch, int repeat = 1);
    ~CString();

    int GetLength() const { return GetData()->nDataLength; }
    bool IsEmpty() const { return GetData()->nDataLength == 0; }
    void Empty();
    char GetAt(int index) const { return m_pchData[index]; }
    char operator[](int index) const { return m_pchData[index]; }
    void SetAt(int index, char ch);
    operator const char*() const { return m_pchData; }
    const char* c_str() const { return m_pchData; }

    const CString& operator=(const CString& other);
    const CString& operator=(const char* text);
    const CString& operator=(char ch);
    const CString& operator+=(const CString& other);
    const CString& operator+=(const char* text);
    const CString& operator+=(char ch);

    friend ZEVO_HOST_API CString operator+(const CString& a, const CString& b);
    friend ZEVO_HOST_API CString operator+(const CString& a, const char* b);
    friend ZEVO_HOST_API CString operator+(const char* a, const CString& b);
    friend ZEVO_HOST_API CString operator+(const CString& a, char b);

    int Compare(const char* text) const;
    int CompareNoCase(const char* text) const;

    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    CString Left(int count) const;
    CString Right(int count) const;
    CString SpanIncluding(const char* charSet) const;
    CString SpanExcluding(const char* charSet) const;

    void MakeUpper();
    void MakeLower();
    void MakeReverse();
    int Replace(char oldCh, char newCh);
    int Replace(const char* oldText, const char* newText);
    int Remove(char ch);
    int Insert(int index, char ch);
    int Insert(int index, const char* text);
    int Delete(int index, int count = 1);

    CString& Trim();
    CString& TrimLeft();
    CString& TrimLeft(char target);
    CString& TrimLeft(const char* targets);
    CString& TrimRight();
    CString& TrimRight(char target);
    CString& TrimRight(const char* targets);

    int Find(char ch) const;
    int Find(char ch, int start) const;
    int Find(const char* sub) const;
    int Find(const char* sub, int start) const;
    int ReverseFind(char ch) const;
    int FindOneOf(const char* charSet) const;

    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void FormatV(const char* format, va_list args);

    char* GetBuffer(int minLength);
    char* GetBufferSetLength(int length);
    void ReleaseBuffer(int newLength = -1);
    void FreeExtra();

    // Reference count of the shared characters (for tests of sharing).
    long GetRefCount() const { return GetData()->nRefs; }

private:
    CStringData* GetData() const { return reinterpret_cast<CStringData*>(m_pchData) - 1; }
    void Init();
    void AllocBuffer(int length);
    void Release();
    void CopyBeforeWrite();
    void AllocBeforeWrite(int length);
    void AssignCopy(int length, const char* text);
    void ConcatInPlace(int length, const char* text);
    void AllocCopy(CString& dest, int copyLength, int copyIndex, int extraLength) const;
    void ConcatCopy(int length1, const char* text1, int length2, const char* text2);

    char* m_pchData;
};

ZEVO_HOST_API bool operator==(const CString& a, const CString& b);
ZEVO_HOST_API bool operator==(const CString& a, const char* b);
ZEVO_HOST_API bool operator==(const char* a, const CString& b);
ZEVO_HOST_API bool operator!=(const CString& a, const CString& b);
ZEVO_HOST_API bool operator!=(const CString& a, const char* b);
ZEVO_HOST_API bool operator!=(const char* a, const CString& b);
ZEVO_HOST_API bool operator<(const CString& a, const CString& b);
