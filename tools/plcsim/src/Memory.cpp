#include "plcsim/Memory.h"

namespace plcsim {

const Memory::Page* Memory::FindPage(const Area& area, uint32_t page) const {
    const auto& pages = m_pages[area.index];
    auto it = pages.find(page);
    return it != pages.end() ? it->second.get() : nullptr;
}

uint16_t Memory::Get(const Area& area, uint32_t address) const {
    const Page* page = FindPage(area, address >> kPageBits);
    return page != nullptr ? (*page)[address & (kPageSize - 1)] : 0;
}

void Memory::Set(const Area& area, uint32_t address, uint16_t value) {
    if (area.isBit) value = value != 0 ? 1 : 0;
    auto& pages = m_pages[area.index];
    auto it = pages.find(address >> kPageBits);
    if (it == pages.end()) {
        if (value == 0) return;  // reads as 0 already
        it = pages.emplace(address >> kPageBits, std::make_unique<Page>()).first;
        it->second->fill(0);
    }
    (*it->second)[address & (kPageSize - 1)] = value;
}

void Memory::Clear() {
    for (auto& pages : m_pages) pages.clear();
}

}  // namespace plcsim
