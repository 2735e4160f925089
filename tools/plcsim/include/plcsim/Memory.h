// The PLC's element memory: sparse pages of 1024 elements per area, created on
// the first write, so that the whole 24-bit address range of every area can be
// used without reserving it. Bit elements are kept as 0 or 1.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "plcsim/Areas.h"

namespace plcsim {

class Memory {
public:
    uint16_t Get(const Area& area, uint32_t address) const;
    // Bit areas keep 1 for any value other than 0.
    void Set(const Area& area, uint32_t address, uint16_t value);
    void Clear();

    // Calls visit(value) for count elements from address on, in order
    // (elements never written read as 0).
    template <class Visit>
    void ForEach(const Area& area, uint32_t address, uint32_t count, Visit&& visit) const {
        while (count > 0) {
            uint32_t offset = address & (kPageSize - 1);
            uint32_t run = kPageSize - offset < count ? kPageSize - offset : count;
            const Page* page = FindPage(area, address >> kPageBits);
            for (uint32_t i = 0; i < run; ++i) visit(page != nullptr ? (*page)[offset + i] : uint16_t{0});
            address += run;
            count -= run;
        }
    }

private:
    static constexpr uint32_t kPageBits = 10;
    static constexpr uint32_t kPageSize = 1u << kPageBits;
    using Page = std::array<uint16_t, kPageSize>;

    const Page* FindPage(const Area& area, uint32_t page) const;

    std::array<std::unordered_map<uint32_t, std::unique_ptr<Page>>, kAreaCount> m_pages;
};

}  // namespace plcsim
