// MFC-compatible CString of the host runtime.
#include "HostString.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// The shared empty string: a locked header followed by the terminator.
struct NilString {
    CStringData header;
    char text[4];
};
NilString g_nil = {{-1, 0, 0}, {0, 0, 0, 0}};

CStringData* NilData() { return &g_nil.header; }

int SafeLength(const char* text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }

bool IsSpace(char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; }

}  // namespace

const char* _afxPchNil = g_nil.text;

void CString::Init() { m_pchData = g_nil.text; }

CString::CString() { Init(); }

CString::CString(const CString& other) {
    CStringData* data = other.GetData();
    if (data->nRefs >= 0) {
        m_pchData = other.m_pchData;
        ++data->nRefs;
    } else {
        Init();
        *this = other.m_pchData;
    }
}

CString::CString(const char* text) {
    Init();
    int length = SafeLength(text);
    if (length > 0) {
        AllocBuffer(length);
        std::memcpy(m_pchData, text, length);
    }
}

CString::CString(const char* text, int length) {
    Init();
    if (text != nullptr && length > 0) {
        AllocBuffer(length);
        std::memcpy(m_pchData, text, length);
    }
}

CString::CString(char ch, int repeat) {
    Init();
    if (repeat > 0) {
        AllocBuffer(repeat);
        std::memset(m_pchData, ch, repeat);
    }
}

CString::~CString() { Release(); }

void CString::AllocBuffer(int length) {
    if (length <= 0) {
        Init();
        return;
    }
    void* block = ::operator new(sizeof(CStringData) + static_cast<size_t>(length) + 1);
    CStringData* data = static_cast<CStringData*>(block);
    data->nRefs = 1;
    data->nDataLength = length;
    data->nAllocLength = length;
    data->data()[length] = '\0';
    m_pchData = data->data();
}

void CString::Release() {
    CStringData* data = GetData();
    if (data != NilData() && data->nRefs >= 0) {
        if (--data->nRefs <= 0) ::operator delete(data);
    }
    Init();
}

void CString::Empty() { Release(); }

void CString::CopyBeforeWrite() {
    if (GetData()->nRefs > 1) {
        CStringData* old = GetData();
        Release();
        AllocBuffer(old->nDataLength);
        std::memcpy(m_pchData, old->data(), old->nDataLength + 1);
    }
}

void CString::AllocBeforeWrite(int length) {
    if (GetData()->nRefs > 1 || length > GetData()->nAllocLength) {
        Release();
        AllocBuffer(length);
    }
}

void CString::AssignCopy(int length, const char* text) {
    if (length <= 0) {
        Empty();
        return;
    }
    // The source may live inside this string's own buffer.
    if (text >= m_pchData && text <= m_pchData + GetData()->nDataLength && GetData() != NilData()) {
        CString copy(text, length);
        *this = copy;
        return;
    }
    AllocBeforeWrite(length);
    std::memmove(m_pchData, text, length);
    GetData()->nDataLength = length;
    m_pchData[length] = '\0';
}

const CString& CString::operator=(const CString& other) {
    if (m_pchData != other.m_pchData) {
        if ((GetData()->nRefs < 0 && GetData() != NilData()) || other.GetData()->nRefs < 0) {
            AssignCopy(other.GetData()->nDataLength, other.m_pchData);
        } else {
            Release();
            m_pchData = other.m_pchData;
            ++GetData()->nRefs;
        }
    }
    return *this;
}

const CString& CString::operator=(const char* text) {
    AssignCopy(SafeLength(text), text);
    return *this;
}

const CString& CString::operator=(char ch) {
    AssignCopy(1, &ch);
    return *this;
}

void CString::ConcatCopy(int length1, const char* text1, int length2, const char* text2) {
    int total = length1 + length2;
    if (total > 0) {
        AllocBuffer(total);
        std::memcpy(m_pchData, text1, length1);
        std::memcpy(m_pchData + length1, text2, length2);
    }
}

void CString::ConcatInPlace(int length, const char* text) {
    if (length <= 0) return;
    CStringData* data = GetData();
    int oldLength = data->nDataLength;
    int total = oldLength + length;
    if (data->nRefs > 1 || total > data->nAllocLength) {
        // Keep the old characters alive while copying: the text may be ours.
        // The new room grows geometrically so that repeated appends stay linear.
        CString old(*this);
        int room = data->nAllocLength * 2;
        if (room < 16) room = 16;
        if (room < total) room = total;
        Release();
        AllocBuffer(room);
        std::memcpy(m_pchData, old.m_pchData, oldLength);
        std::memcpy(m_pchData + oldLength, text, length);
        GetData()->nDataLength = total;
        m_pchData[total] = '\0';
    } else {
        std::memmove(m_pchData + oldLength, text, length);
        data->nDataLength = total;
        m_pchData[total] = '\0';
    }
}

const CString& CString::operator+=(const CString& other) {
    CString keep(other);
    ConcatInPlace(keep.GetData()->nDataLength, keep.m_pchData);
    return *this;
}

const CString& CString::operator+=(const char* text) {
    if (text != nullptr && text >= m_pchData && text <= m_pchData + GetData()->nDataLength) {
        CString keep(text);
        ConcatInPlace(keep.GetLength(), keep.m_pchData);
    } else {
        ConcatInPlace(SafeLength(text), text);
    }
    return *this;
}

const CString& CString::operator+=(char ch) {
    ConcatInPlace(1, &ch);
    return *this;
}

CString operator+(const CString& a, const CString& b) {
    CString s;
    s.ConcatCopy(a.GetLength(), a.m_pchData, b.GetLength(), b.m_pchData);
    return s;
}

CString operator+(const CString& a, const char* b) {
    CString s;
    s.ConcatCopy(a.GetLength(), a.m_pchData, SafeLength(b), b);
    return s;
}

CString operator+(const char* a, const CString& b) {
    CString s;
    s.ConcatCopy(SafeLength(a), a, b.GetLength(), b.m_pchData);
    return s;
}

CString operator+(const CString& a, char b) {
    CString s;
    s.ConcatCopy(a.GetLength(), a.m_pchData, 1, &b);
    return s;
}

void CString::SetAt(int index, char ch) {
    if (index < 0 || index >= GetLength()) return;
    CopyBeforeWrite();
    m_pchData[index] = ch;
}

int CString::Compare(const char* text) const { return std::strcmp(m_pchData, text ? text : ""); }

int CString::CompareNoCase(const char* text) const { return strcasecmp(m_pchData, text ? text : ""); }

void CString::AllocCopy(CString& dest, int copyLength, int copyIndex, int extraLength) const {
    int newLength = copyLength + extraLength;
    if (newLength <= 0) {
        dest.Init();
        return;
    }
    dest.AllocBuffer(newLength);
    std::memcpy(dest.m_pchData, m_pchData + copyIndex, copyLength);
}

CString CString::Mid(int first) const { return Mid(first, GetLength() - first); }

CString CString::Mid(int first, int count) const {
    int length = GetLength();
    if (first < 0) first = 0;
    if (count < 0) count = 0;
    if (first > length) first = length;
    if (count > length - first) count = length - first;
    if (first == 0 && count == length) return *this;
    CString dest;
    AllocCopy(dest, count, first, 0);
    return dest;
}

CString CString::Left(int count) const {
    if (count < 0) count = 0;
    if (count >= GetLength()) return *this;
    CString dest;
    AllocCopy(dest, count, 0, 0);
    return dest;
}

CString CString::Right(int count) const {
    if (count < 0) count = 0;
    if (count >= GetLength()) return *this;
    CString dest;
    AllocCopy(dest, count, GetLength() - count, 0);
    return dest;
}

CString CString::SpanIncluding(const char* charSet) const {
    return Left(static_cast<int>(std::strspn(m_pchData, charSet ? charSet : "")));
}

CString CString::SpanExcluding(const char* charSet) const {
    return Left(static_cast<int>(std::strcspn(m_pchData, charSet ? charSet : "")));
}

void CString::MakeUpper() {
    CopyBeforeWrite();
    for (int i = 0; i < GetLength(); ++i)
        m_pchData[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(m_pchData[i])));
}

void CString::MakeLower() {
    CopyBeforeWrite();
    for (int i = 0; i < GetLength(); ++i)
        m_pchData[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(m_pchData[i])));
}

void CString::MakeReverse() {
    CopyBeforeWrite();
    int n = GetLength();
    for (int i = 0; i < n / 2; ++i) {
        char t = m_pchData[i];
        m_pchData[i] = m_pchData[n - 1 - i];
        m_pchData[n - 1 - i] = t;
    }
}

int CString::Replace(char oldCh, char newCh) {
    int count = 0;
    if (oldCh == newCh) return 0;
    for (int i = 0; i < GetLength(); ++i) {
        if (m_pchData[i] == oldCh) {
            if (count == 0) CopyBeforeWrite();
            m_pchData[i] = newCh;
            ++count;
        }
    }
    return count;
}

int CString::Replace(const char* oldText, const char* newText) {
    int oldLength = SafeLength(oldText);
    if (oldLength == 0) return 0;
    int newLength = SafeLength(newText);
    CString result;
    int count = 0;
    int pos = 0;
    for (;;) {
        const char* hit = std::strstr(m_pchData + pos, oldText);
        if (hit == nullptr) break;
        int at = static_cast<int>(hit - m_pchData);
        result += Mid(pos, at - pos);
        result += CString(newText, newLength);
        pos = at + oldLength;
        ++count;
    }
    if (count > 0) {
        result += Mid(pos);
        *this = result;
    }
    return count;
}

int CString::Remove(char ch) {
    CopyBeforeWrite();
    int out = 0;
    int n = GetLength();
    for (int i = 0; i < n; ++i)
        if (m_pchData[i] != ch) m_pchData[out++] = m_pchData[i];
    if (GetData() != NilData()) {
        m_pchData[out] = '\0';
        GetData()->nDataLength = out;
    }
    return n - out;
}

int CString::Insert(int index, const char* text) {
    int insertLength = SafeLength(text);
    int length = GetLength();
    if (index < 0) index = 0;
    if (index > length) index = length;
    if (insertLength > 0) {
        CString result;
        result.ConcatCopy(index, m_pchData, insertLength, text);
        result += m_pchData + index;
        *this = result;
    }
    return GetLength();
}

int CString::Insert(int index, char ch) {
    char text[2] = {ch, 0};
    if (ch == '\0') return GetLength();
    return Insert(index, text);
}

int CString::Delete(int index, int count) {
    int length = GetLength();
    if (index < 0) index = 0;
    if (count > 0 && index < length) {
        if (count > length - index) count = length - index;
        CopyBeforeWrite();
        std::memmove(m_pchData + index, m_pchData + index + count, length - index - count + 1);
        GetData()->nDataLength = length - count;
    }
    return GetLength();
}

CString& CString::Trim() { return TrimRight().TrimLeft(); }

CString& CString::TrimLeft() {
    int skip = 0;
    while (skip < GetLength() && IsSpace(m_pchData[skip])) ++skip;
    if (skip > 0) Delete(0, skip);
    return *this;
}

CString& CString::TrimLeft(char target) {
    int skip = 0;
    while (skip < GetLength() && m_pchData[skip] == target) ++skip;
    if (skip > 0) Delete(0, skip);
    return *this;
}

CString& CString::TrimLeft(const char* targets) {
    if (targets == nullptr || *targets == '\0') return *this;
    int skip = 0;
    while (skip < GetLength() && std::strchr(targets, m_pchData[skip]) != nullptr) ++skip;
    if (skip > 0) Delete(0, skip);
    return *this;
}

CString& CString::TrimRight() {
    int end = GetLength();
    while (end > 0 && IsSpace(m_pchData[end - 1])) --end;
    if (end < GetLength()) Delete(end, GetLength() - end);
    return *this;
}

CString& CString::TrimRight(char target) {
    int end = GetLength();
    while (end > 0 && m_pchData[end - 1] == target) --end;
    if (end < GetLength()) Delete(end, GetLength() - end);
    return *this;
}

CString& CString::TrimRight(const char* targets) {
    if (targets == nullptr || *targets == '\0') return *this;
    int end = GetLength();
    while (end > 0 && std::strchr(targets, m_pchData[end - 1]) != nullptr) --end;
    if (end < GetLength()) Delete(end, GetLength() - end);
    return *this;
}

int CString::Find(char ch) const { return Find(ch, 0); }

int CString::Find(char ch, int start) const {
    if (start < 0) start = 0;
    if (start >= GetLength()) return -1;
    const char* hit = std::strchr(m_pchData + start, ch);
    return hit == nullptr ? -1 : static_cast<int>(hit - m_pchData);
}

int CString::Find(const char* sub) const { return Find(sub, 0); }

int CString::Find(const char* sub, int start) const {
    if (sub == nullptr) return -1;
    if (start < 0) start = 0;
    if (start > GetLength()) return -1;
    const char* hit = std::strstr(m_pchData + start, sub);
    return hit == nullptr ? -1 : static_cast<int>(hit - m_pchData);
}

int CString::ReverseFind(char ch) const {
    const char* hit = std::strrchr(m_pchData, ch);
    return hit == nullptr ? -1 : static_cast<int>(hit - m_pchData);
}

int CString::FindOneOf(const char* charSet) const {
    const char* hit = std::strpbrk(m_pchData, charSet ? charSet : "");
    return hit == nullptr ? -1 : static_cast<int>(hit - m_pchData);
}

void CString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::FormatV(const char* format, va_list args) {
    va_list probe;
    va_copy(probe, args);
    char small[256];
    int needed = std::vsnprintf(small, sizeof small, format ? format : "", probe);
    va_end(probe);
    if (needed < 0) {
        Empty();
        return;
    }
    if (needed < static_cast<int>(sizeof small)) {
        // Format the small result first, then assign: the arguments may point
        // into this string.
        *this = small;
        return;
    }
    CString result;
    char* buffer = result.GetBuffer(needed);
    std::vsnprintf(buffer, static_cast<size_t>(needed) + 1, format, args);
    result.ReleaseBuffer(needed);
    *this = result;
}

char* CString::GetBuffer(int minLength) {
    if (minLength < 0) minLength = 0;
    if (GetData()->nRefs > 1 || minLength > GetData()->nAllocLength) {
        CString old(*this);
        int oldLength = old.GetLength();
        if (minLength < oldLength) minLength = oldLength;
        Release();
        if (minLength == 0) {
            // An empty request still needs a writable terminator.
            AllocBuffer(1);
            GetData()->nDataLength = 0;
            m_pchData[0] = '\0';
        } else {
            AllocBuffer(minLength);
            std::memcpy(m_pchData, old.m_pchData, oldLength + 1);
            GetData()->nDataLength = oldLength;
        }
    }
    return m_pchData;
}

char* CString::GetBufferSetLength(int length) {
    if (length <= 0) {
        Empty();
        return m_pchData;
    }
    GetBuffer(length);
    GetData()->nDataLength = length;
    m_pchData[length] = '\0';
    return m_pchData;
}

void CString::ReleaseBuffer(int newLength) {
    CopyBeforeWrite();
    if (GetData() == NilData()) return;
    if (newLength < 0) newLength = static_cast<int>(strnlen(m_pchData, GetData()->nAllocLength));
    if (newLength > GetData()->nAllocLength) newLength = GetData()->nAllocLength;
    GetData()->nDataLength = newLength;
    m_pchData[newLength] = '\0';
}

void CString::FreeExtra() {
    if (GetData()->nDataLength != GetData()->nAllocLength && GetData() != NilData()) {
        CString copy(m_pchData, GetLength());
        *this = copy;
    }
}

bool operator==(const CString& a, const CString& b) { return a.Compare(b) == 0; }
bool operator==(const CString& a, const char* b) { return a.Compare(b) == 0; }
bool operator==(const char* a, const CString& b) { return b.Compare(a) == 0; }
bool operator!=(const CString& a, const CString& b) { return a.Compare(b) != 0; }
bool operator!=(const CString& a, const char* b) { return a.Compare(b) != 0; }
bool operator!=(const char* a, const CString& b) { return b.Compare(a) != 0; }
bool operator<(const CString& a, const CString& b) { return a.Compare(b) < 0; }
