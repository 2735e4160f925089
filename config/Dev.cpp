// Channel rows and tables, channel definitions, data-type list container.
#include "Dev.h"

#include <cstring>

namespace {

// The least number of bytes one row occupies in an archive with a schema of
// numeric and string properties (a string takes at least its 4-byte count).
int MinRowBytes() {
    int bytes = 0;
    for (int i = 0; i < CDevRow::m_dwPropertyNum; ++i) {
        unsigned int kind = i < CDevRow::m_dwArPropertyType.GetSize() ? CDevRow::m_dwArPropertyType[i] : 0;
        if (kind == 1 || kind == 2) bytes += 4;
    }
    return bytes;
}

}  // namespace

// ------------------------------------------------------------------- CDevRow

int CDevRow::m_dwPropertyNum = 0;
CStringArray CDevRow::m_strArPropertyName;
CArray<unsigned int, unsigned int> CDevRow::m_dwArPropertyType;
CArray<unsigned int, unsigned int> CDevRow::m_dwArPropertyTaxis;

int CDevRow::SetPropertyNum(int count) {
    if (count < 0) count = 0;
    m_dwPropertyNum = count;
    m_strArPropertyName.SetSize(count);
    m_dwArPropertyType.SetSize(count);
    m_dwArPropertyTaxis.SetSize(count);
    return count;
}

int CDevRow::SetPropertyNameAndType(int index, int type, const CString& name, int taxis) {
    if (index < 0 || index >= m_dwPropertyNum) return 0;
    m_strArPropertyName[index] = name;
    m_dwArPropertyType[index] = static_cast<unsigned int>(type);
    m_dwArPropertyTaxis[index] = static_cast<unsigned int>(taxis);
    return 1;
}

CDevRow::CDevRow() {
    m_dwArValue.SetSize(m_dwPropertyNum);
    m_strArValue.SetSize(m_dwPropertyNum);
}

CDevRow::CDevRow(CDevRow& other) : COwnerObject() {
    m_dwArValue.SetSize(m_dwPropertyNum);
    m_strArValue.SetSize(m_dwPropertyNum);
    for (int i = 0; i < m_dwPropertyNum; ++i) {
        if (i < other.m_dwArValue.GetSize()) m_dwArValue[i] = other.m_dwArValue[i];
        if (i < other.m_strArValue.GetSize()) m_strArValue[i] = other.m_strArValue[i];
    }
}

CDevRow::~CDevRow() {}

CDevRow& CDevRow::operator=(CDevRow& other) {
    if (&other == this) return *this;
    // Slot by slot, no resizing; rows built before a schema change keep their slots.
    for (int i = 0; i < m_dwPropertyNum; ++i) {
        if (i < m_dwArValue.GetSize() && i < other.m_dwArValue.GetSize()) m_dwArValue[i] = other.m_dwArValue[i];
        if (i < m_strArValue.GetSize() && i < other.m_strArValue.GetSize()) m_strArValue[i] = other.m_strArValue[i];
    }
    return *this;
}

int CDevRow::GetIndexFromName(const CString& name) const {
    if (m_dwPropertyNum <= 0 || m_dwPropertyNum != m_strArPropertyName.GetSize()) return -1;
    for (int i = 0; i < m_dwPropertyNum; ++i)
        if (m_strArPropertyName[i].GetLength() == name.GetLength() &&
            std::memcmp(m_strArPropertyName[i].c_str(), name.c_str(), name.GetLength()) == 0)
            return i;
    return -1;
}

int CDevRow::SetdwValue(const CString& name, unsigned int value) {
    int index = GetIndexFromName(name);
    if (index >= 0 && index < m_dwArValue.GetSize()) m_dwArValue[index] = value;
    return index;
}

unsigned int CDevRow::GetdwValue(const CString& name) const {
    int index = GetIndexFromName(name);
    if (index < 0 || index >= m_dwArValue.GetSize()) return 0xFFFFFFFFu;
    return m_dwArValue[index];
}

void CDevRow::SetstrValue(const CString& name, const CString& value) {
    int index = GetIndexFromName(name);
    if (index >= 0 && index < m_strArValue.GetSize()) m_strArValue[index] = value;
}

CString CDevRow::GetstrValue(const CString& name) const {
    int index = GetIndexFromName(name);
    if (index < 0 || index >= m_strArValue.GetSize()) return CString();
    return m_strArValue[index];
}

bool CDevRow::SchemaConsistent() {
    return m_dwPropertyNum == m_strArPropertyName.GetSize() && m_dwPropertyNum == m_dwArPropertyType.GetSize() &&
           m_dwPropertyNum == m_dwArPropertyTaxis.GetSize();
}

int CDevRow::Order(CDevRow& other) {
    for (int i = 0; i < m_dwPropertyNum; ++i) {
        if (m_dwArPropertyTaxis[i] == 0) continue;
        if (m_dwArPropertyType[i] == 1) {
            unsigned int a = i < m_dwArValue.GetSize() ? m_dwArValue[i] : 0;
            unsigned int b = i < other.m_dwArValue.GetSize() ? other.m_dwArValue[i] : 0;
            if (a != b) return a > b ? 1 : -1;
        } else if (m_dwArPropertyType[i] == 2) {
            const char* a = i < m_strArValue.GetSize() ? m_strArValue[i].c_str() : "";
            const char* b = i < other.m_strArValue.GetSize() ? other.m_strArValue[i].c_str() : "";
            int c = std::strcmp(a, b);
            if (c != 0) return c > 0 ? 1 : -1;
        }
    }
    return 0;
}

bool CDevRow::operator>(CDevRow& other) {
    if (!SchemaConsistent() || m_dwPropertyNum <= 0) return false;
    return Order(other) > 0;
}

bool CDevRow::operator<(CDevRow& other) {
    if (!SchemaConsistent() || m_dwPropertyNum <= 0) return false;
    return Order(other) < 0;
}

bool CDevRow::operator==(CDevRow& other) {
    if (!SchemaConsistent()) return false;
    if (m_dwPropertyNum <= 0) return true;
    for (int i = 0; i < m_dwPropertyNum; ++i) {
        if (m_dwArPropertyTaxis[i] != 1) continue;
        if (m_dwArPropertyType[i] == 1) {
            unsigned int a = i < m_dwArValue.GetSize() ? m_dwArValue[i] : 0;
            unsigned int b = i < other.m_dwArValue.GetSize() ? other.m_dwArValue[i] : 0;
            if (a != b) return false;
        } else if (m_dwArPropertyType[i] == 2) {
            const char* a = i < m_strArValue.GetSize() ? m_strArValue[i].c_str() : "";
            const char* b = i < other.m_strArValue.GetSize() ? other.m_strArValue[i].c_str() : "";
            if (std::strcmp(a, b) != 0) return false;
        }
    }
    return true;
}

bool CDevRow::operator>=(CDevRow& other) { return *this > other || *this == other; }
bool CDevRow::operator<=(CDevRow& other) { return *this < other || *this == other; }
bool CDevRow::operator!=(CDevRow& other) { return !(*this == other); }

void CDevRow::Serialize(COwnerArchive& ar) {
    if (!ar.IsStoring()) {
        Deserialize(ar);
        return;
    }
    for (int i = 0; i < m_dwPropertyNum; ++i) {
        unsigned int kind = m_dwArPropertyType[i];
        if (kind == 1)
            ar << (i < m_dwArValue.GetSize() ? m_dwArValue[i] : 0u);
        else if (kind == 2)
            ar << (i < m_strArValue.GetSize() ? m_strArValue[i] : CString());
    }
}

int CDevRow::Deserialize(COwnerArchive& ar) {
    unsigned short version = ar.GetNowVersion();
    if (version > ARCHIVE_VERSION) return version - ARCHIVE_VERSION;
    DeserializeFormOld(ar);
    return 0;
}

void CDevRow::DeserializeFormOld(COwnerArchive& ar) {
    for (int i = 0; i < m_dwPropertyNum; ++i) {
        unsigned int kind = m_dwArPropertyType[i];
        if (kind == 1 && i < m_dwArValue.GetSize())
            ar >> m_dwArValue[i];
        else if (kind == 2 && i < m_strArValue.GetSize())
            ar >> m_strArValue[i];
    }
}

// ----------------------------------------------------------------- CDevTable

CDevTable::CDevTable() : m_dwRowCount(0) {}

CDevTable::~CDevTable() {
    m_dwRowCount = 0;
    m_arRow.RemoveAll();
}

CDevTable& CDevTable::operator=(CDevTable& other) {
    if (&other == this) return *this;
    m_dwRowCount = other.GetRowCount();
    m_arRow.SetSize(m_dwRowCount);
    for (int i = 0; i < m_dwRowCount; ++i) m_arRow[i] = other.m_arRow[i];
    return *this;
}

int CDevTable::AddRows(CArray<CDevRow, CDevRow&>& rows, int merge) {
    int count = rows.GetSize();
    if (count == 0) return -1;
    if (m_arRow.GetSize() == 0 || merge == 0) {
        int start = m_arRow.GetSize();
        m_arRow.SetSize(start + count);
        for (int i = 0; i < count; ++i) m_arRow[start + i] = rows[i];
        m_dwRowCount = m_arRow.GetSize();
        return start;
    }
    // Merge: rows are one sorted run that replaces the part of the table it covers.
    int last = m_dwRowCount - 1;
    if (last >= m_arRow.GetSize()) last = m_arRow.GetSize() - 1;
    int start = 0;
    if (last >= 0) {
        for (int j = last; j >= 0; --j) {
            if (rows[0] > m_arRow[j]) {
                start = j + 1;
                break;
            }
        }
        int end = -1;
        for (int k = last; k >= 0; --k) {
            if (rows[count - 1] >= m_arRow[k]) {
                end = k;
                break;
            }
        }
        if (end >= start) m_arRow.RemoveAt(start, end - start + 1);
    }
    for (int i = 0; i < count; ++i) m_arRow.InsertAt(start + i, rows[i]);
    m_dwRowCount = m_arRow.GetSize();
    return start;
}

void CDevTable::DelRow(int index) {
    if (index < 0 || index >= m_arRow.GetSize()) return;
    m_arRow.RemoveAt(index);
    m_arRow.FreeExtra();
    m_dwRowCount = m_arRow.GetSize();
}

void CDevTable::DelTable() {
    m_arRow.RemoveAll();
    m_dwRowCount = 0;
}

int CDevTable::Deserialize(COwnerArchive& ar) {
    unsigned short version = ar.GetNowVersion();
    if (version > ARCHIVE_VERSION) return version - ARCHIVE_VERSION;
    int count = 0;
    ar >> count;
    // A negative count reads as no rows; an absurd one is bounded by the larger
    // of what the remaining bytes could hold and a ceiling above any device.
    if (count < 0) count = 0;
    int minBytes = MinRowBytes();
    int fits = minBytes > 0 ? ar.SvrGetRemaining() / minBytes : 0;
    // Larger counts are bounded so that a corrupt blob cannot exhaust the
    // host's memory.
    int bound = fits > DEVTABLE_ROW_CEILING ? fits : DEVTABLE_ROW_CEILING;
    if (count > bound) count = bound;
    m_dwRowCount = count;
    m_arRow.SetSize(count);
    return 0;
}

void CDevTable::Serialize(COwnerArchive& ar) {
    if (ar.IsStoring()) {
        m_dwRowCount = m_arRow.GetSize();
        ar << m_dwRowCount;
    } else {
        Deserialize(ar);
    }
    for (int i = 0; i < m_arRow.GetSize(); ++i) m_arRow[i].Serialize(ar);
}

// ------------------------------------------------------------------ SChlInfo

SChlInfo::SChlInfo()
    : m_nReserved1(-1),
      m_nChlType(-1),
      m_nDataType(-1),
      m_nBit(-1),
      m_strAddress("0"),
      m_nCount(-1),
      m_nRWFlag(-1),
      m_nReserved2(-1) {}

SChlInfo::~SChlInfo() {}

SChlInfo& SChlInfo::operator=(const SChlInfo& other) {
    if (&other == this) return *this;
    m_nReserved1 = other.m_nReserved1;
    m_nChlType = other.m_nChlType;
    m_nDataType = other.m_nDataType;
    m_nBit = other.m_nBit;
    m_strAddress = other.m_strAddress;
    m_nCount = other.m_nCount;
    m_nRWFlag = other.m_nRWFlag;
    m_nReserved2 = other.m_nReserved2;
    m_strReserved1 = other.m_strReserved1;
    m_strReserved2 = other.m_strReserved2;
    m_strReserved3 = other.m_strReserved3;
    m_strArReserved.RemoveAll();
    m_strArReserved.Append(other.m_strArReserved);
    m_strArParam.RemoveAll();
    m_strArParam.Append(other.m_strArParam);
    return *this;
}

// ------------------------------------------------------------ CDataTypeArray

CDataTypeArray::CDataTypeArray() {}

CDataTypeArray::~CDataTypeArray() { DeleteAll(); }

void CDataTypeArray::DeleteAll() {
    for (int i = 0; i < m_arStrAr.GetSize(); ++i) delete m_arStrAr[i];
    m_arStrAr.RemoveAll();
}

int CDataTypeArray::mfStrArSetSize(int count) {
    if (count < 0) return 0;
    DeleteAll();
    m_arStrAr.SetSize(count);
    for (int i = 0; i < count; ++i) m_arStrAr[i] = nullptr;
    return 1;
}

int CDataTypeArray::mfStrArAdd(CStringArray& src) {
    CStringArray* copy = new CStringArray;
    copy->Append(src);
    m_arStrAr.Add(copy);
    return 1;
}

int CDataTypeArray::mfStrArSetAt(int index, CStringArray& src) {
    if (index < 0 || index >= m_arStrAr.GetSize()) return 0;
    if (m_arStrAr[index] == nullptr) m_arStrAr[index] = new CStringArray;
    if (m_arStrAr[index] != &src) {
        m_arStrAr[index]->RemoveAll();
        m_arStrAr[index]->Append(src);
    }
    return 1;
}

int CDataTypeArray::mfStrArGetAt(int index, CStringArray*& out) {
    if (index < 0 || index >= m_arStrAr.GetSize()) return 0;
    out = m_arStrAr[index];
    return 1;
}
