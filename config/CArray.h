// The driver's dynamic array template, with the semantics of the MFC CArray:
// fields data pointer, size, capacity and grow-by, in that order; growth to
// the larger of the new size and capacity + step (the grow-by, or size / 8
// clamped to 4..1024 when it is 0); elements relocated bitwise (so element
// types must be relocatable); new elements zero-filled, then
// default-constructed; shrinking destroys the dropped elements.
#pragma once

#include <cstring>
#include <functional>
#include <new>

template <class TYPE, class ARG_TYPE>
class CArray {
public:
    CArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}
    CArray(const CArray&) = delete;
    CArray& operator=(const CArray&) = delete;
    ~CArray() {
        DestroyElements(m_pData, m_nSize);
        ::operator delete(static_cast<void*>(m_pData));
    }

    int GetSize() const { return m_nSize; }
    int GetCount() const { return m_nSize; }
    int GetUpperBound() const { return m_nSize - 1; }
    bool IsEmpty() const { return m_nSize == 0; }
    int GetCapacity() const { return m_nMaxSize; }

    void SetSize(int newSize, int growBy = -1) {
        if (growBy >= 0) m_nGrowBy = growBy;
        if (newSize < 0) newSize = 0;
        if (newSize == 0) {
            DestroyElements(m_pData, m_nSize);
            ::operator delete(static_cast<void*>(m_pData));
            m_pData = nullptr;
            m_nSize = m_nMaxSize = 0;
        } else if (m_pData == nullptr) {
            int alloc = newSize > m_nGrowBy ? newSize : m_nGrowBy;
            m_pData = Allocate(alloc);
            std::memset(static_cast<void*>(m_pData), 0, static_cast<size_t>(alloc) * sizeof(TYPE));
            ConstructElements(m_pData, newSize);
            m_nSize = newSize;
            m_nMaxSize = alloc;
        } else if (newSize <= m_nMaxSize) {
            if (newSize > m_nSize) {
                std::memset(static_cast<void*>(m_pData + m_nSize), 0,
                            static_cast<size_t>(newSize - m_nSize) * sizeof(TYPE));
                ConstructElements(m_pData + m_nSize, newSize - m_nSize);
            } else if (m_nSize > newSize) {
                DestroyElements(m_pData + newSize, m_nSize - newSize);
            }
            m_nSize = newSize;
        } else {
            int step = m_nGrowBy;
            if (step == 0) {
                step = m_nSize / 8;
                step = step < 4 ? 4 : (step > 1024 ? 1024 : step);
            }
            int newMax = newSize < m_nMaxSize + step ? m_nMaxSize + step : newSize;
            TYPE* data = Allocate(newMax);
            std::memcpy(static_cast<void*>(data), static_cast<const void*>(m_pData),
                        static_cast<size_t>(m_nSize) * sizeof(TYPE));
            std::memset(static_cast<void*>(data + m_nSize), 0, static_cast<size_t>(newSize - m_nSize) * sizeof(TYPE));
            ConstructElements(data + m_nSize, newSize - m_nSize);
            ::operator delete(static_cast<void*>(m_pData));
            m_pData = data;
            m_nSize = newSize;
            m_nMaxSize = newMax;
        }
    }

    void FreeExtra() {
        if (m_nSize == m_nMaxSize) return;
        TYPE* data = nullptr;
        if (m_nSize != 0) {
            data = Allocate(m_nSize);
            std::memcpy(static_cast<void*>(data), static_cast<const void*>(m_pData),
                        static_cast<size_t>(m_nSize) * sizeof(TYPE));
        }
        ::operator delete(static_cast<void*>(m_pData));
        m_pData = data;
        m_nMaxSize = m_nSize;
    }

    void RemoveAll() { SetSize(0, -1); }

    const TYPE& GetAt(int index) const { return m_pData[index]; }
    void SetAt(int index, ARG_TYPE element) { m_pData[index] = element; }
    TYPE& ElementAt(int index) { return m_pData[index]; }
    const TYPE* GetData() const { return m_pData; }
    TYPE* GetData() { return m_pData; }
    const TYPE& operator[](int index) const { return m_pData[index]; }
    TYPE& operator[](int index) { return m_pData[index]; }

    // The element may be one of this array's own: growing relocates it, so
    // it is then read again at its index in the new storage.
    void SetAtGrow(int index, ARG_TYPE element) {
        if (index < 0) return;
        if (index < m_nSize) {
            m_pData[index] = element;
            return;
        }
        int own = IndexOf(element);
        SetSize(index + 1, -1);
        if (own >= 0)
            m_pData[index] = m_pData[own];
        else
            m_pData[index] = element;
    }

    int Add(ARG_TYPE element) {
        int index = m_nSize;
        SetAtGrow(index, element);
        return index;
    }

    // Opens count default-constructed slots at index and assigns the element
    // into each of them; an element of this array itself is read again where
    // the growth and the shift have put it.
    void InsertAt(int index, ARG_TYPE element, int count = 1) {
        if (index < 0 || count <= 0) return;
        int own = IndexOf(element);
        if (own >= index && index < m_nSize) own += count;
        if (index >= m_nSize) {
            SetSize(index + count, -1);
        } else {
            int old = m_nSize;
            SetSize(m_nSize + count, -1);
            DestroyElements(m_pData + old, count);
            std::memmove(static_cast<void*>(m_pData + index + count), static_cast<const void*>(m_pData + index),
                         static_cast<size_t>(old - index) * sizeof(TYPE));
            std::memset(static_cast<void*>(m_pData + index), 0, static_cast<size_t>(count) * sizeof(TYPE));
            ConstructElements(m_pData + index, count);
        }
        if (own >= 0) {
            for (int i = 0; i < count; ++i) m_pData[index + i] = m_pData[own];
        } else {
            for (int i = 0; i < count; ++i) m_pData[index + i] = element;
        }
    }

    void RemoveAt(int index, int count = 1) {
        if (index < 0 || count <= 0 || index >= m_nSize) return;
        if (count > m_nSize - index) count = m_nSize - index;
        DestroyElements(m_pData + index, count);
        int tail = m_nSize - index - count;
        if (tail > 0)
            std::memmove(static_cast<void*>(m_pData + index), static_cast<const void*>(m_pData + index + count),
                         static_cast<size_t>(tail) * sizeof(TYPE));
        m_nSize -= count;
    }

    // Appending the array to itself doubles it: the count is taken before the
    // growth, and the source elements are read from the grown storage.
    int Append(const CArray& src) {
        int old = m_nSize;
        int count = src.m_nSize;
        SetSize(m_nSize + count, -1);
        for (int i = 0; i < count; ++i) m_pData[old + i] = const_cast<TYPE&>(src.m_pData[i]);
        return old;
    }

    void Copy(const CArray& src) {
        if (&src == this) return;
        SetSize(src.m_nSize, -1);
        for (int i = 0; i < src.m_nSize; ++i) m_pData[i] = const_cast<TYPE&>(src.m_pData[i]);
    }

private:
    // Index of element in this array's storage, or -1 when it lives elsewhere.
    int IndexOf(const TYPE& element) const {
        std::less<const TYPE*> before;
        if (m_nSize == 0 || before(&element, m_pData) || !before(&element, m_pData + m_nSize)) return -1;
        return static_cast<int>(&element - m_pData);
    }

    static TYPE* Allocate(int count) {
        return static_cast<TYPE*>(::operator new(static_cast<size_t>(count) * sizeof(TYPE)));
    }
    static void ConstructElements(TYPE* at, int count) {
        for (int i = 0; i < count; ++i) ::new (static_cast<void*>(at + i)) TYPE();
    }
    static void DestroyElements(TYPE* at, int count) {
        for (int i = 0; i < count; ++i) at[i].~TYPE();
    }

    TYPE* m_pData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;
};
