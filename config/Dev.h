// Channel rows and tables of the configuration model, the channel definition
// record and the data-type list container.
#pragma once

#include "CArray.h"
#include "HostArrays.h"
#include "HostString.h"
#include "OwnerArchive.h"

// One channel row: a value for each property of the class-wide schema, read
// and written by property name.
class CDevRow : public COwnerObject {
public:
    CDevRow();
    CDevRow(CDevRow& other);
    ~CDevRow() override;
    CDevRow& operator=(CDevRow& other);

    static int SetPropertyNum(int count);
    static int SetPropertyNameAndType(int index, int type, const CString& name, int taxis);
    static int GetPropertyNum() { return m_dwPropertyNum; }

    int GetIndexFromName(const CString& name) const;
    int SetdwValue(const CString& name, unsigned int value);
    unsigned int GetdwValue(const CString& name) const;
    void SetstrValue(const CString& name, const CString& value);
    CString GetstrValue(const CString& name) const;

    bool operator>(CDevRow& other);
    bool operator<(CDevRow& other);
    bool operator==(CDevRow& other);
    bool operator>=(CDevRow& other);
    bool operator<=(CDevRow& other);
    bool operator!=(CDevRow& other);

    void Serialize(COwnerArchive& ar) override;
    int Deserialize(COwnerArchive& ar);
    void DeserializeFormOld(COwnerArchive& ar);

    static int m_dwPropertyNum;
    static CStringArray m_strArPropertyName;
    static CArray<unsigned int, unsigned int> m_dwArPropertyType;
    static CArray<unsigned int, unsigned int> m_dwArPropertyTaxis;

    CArray<unsigned int, unsigned int> m_dwArValue;
    CStringArray m_strArValue;

private:
    static bool SchemaConsistent();
    int Order(CDevRow& other);  // -1, 0, 1 by the sort-key properties
};

// Rows a table holds at most: no real device has more. A configured table
// read from a blob is bounded by it, and a command refuses a table beyond it.
const int DEVTABLE_ROW_CEILING = 65536;

// An ordered table of channel rows; the row index is the channel index.
class CDevTable : public COwnerObject {
public:
    CDevTable();
    ~CDevTable() override;
    CDevTable(const CDevTable&) = delete;

    int GetRowCount() const { return m_arRow.GetSize(); }
    CDevRow& Row(int index) { return m_arRow[index]; }
    CDevRow& operator[](int index) { return m_arRow[index]; }
    CDevTable& operator=(CDevTable& other);

    int AddRows(CArray<CDevRow, CDevRow&>& rows, int merge);
    void DelRow(int index);
    void DelTable();

    void Serialize(COwnerArchive& ar) override;
    int Deserialize(COwnerArchive& ar);

    int m_dwRowCount;
    CArray<CDevRow, CDevRow&> m_arRow;
};

// A channel definition: count consecutive items of one data type in one area
// from a start address.
class SChlInfo {
public:
    SChlInfo();
    virtual ~SChlInfo();
    SChlInfo(const SChlInfo&) = delete;
    SChlInfo& operator=(const SChlInfo& other);

    int m_nReserved1;
    int m_nChlType;
    int m_nDataType;
    int m_nBit;
    CString m_strAddress;
    int m_nCount;
    int m_nRWFlag;
    int m_nReserved2;
    CString m_strReserved1;
    CString m_strReserved2;
    CString m_strReserved3;
    CStringArray m_strArReserved;
    CStringArray m_strArParam;
};

// Owns a list of separately allocated string arrays (entries may be null).
class CDataTypeArray {
public:
    CDataTypeArray();
    virtual ~CDataTypeArray();
    CDataTypeArray(const CDataTypeArray&) = delete;
    CDataTypeArray& operator=(const CDataTypeArray&) = delete;

    int mfStrArGetSize() const { return m_arStrAr.GetSize(); }
    int mfStrArSetSize(int count);
    int mfStrArAdd(CStringArray& src);
    int mfStrArSetAt(int index, CStringArray& src);
    int mfStrArGetAt(int index, CStringArray*& out);

private:
    void DeleteAll();
    CArray<CStringArray*, CStringArray*> m_arStrAr;
};
