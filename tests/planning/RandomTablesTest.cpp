// Properties every plan must have, checked on random tables from fixed seeds.
#include <algorithm>
#include <random>
#include <sstream>
#include <tuple>

#include "PlanTable.h"

namespace {

bool IsBitArea(unsigned int type) { return ChlIsBitArea(type); }

// A table as a configuration would hold it (sorted by area, address, bit)
// or scrambled, with rows of unknown areas, write-only rows, overlapping rows,
// strings and holes of every size.
std::vector<RowDef> RandomRows(std::mt19937& rng, bool sorted, int maxRows) {
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned int>(n)); };
    const unsigned int areas[] = {M, X, 5, D, ID, 28};
    const unsigned int wordCodes[] = {0, 7, 15, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 100, STR};
    int count = 1 + pick(maxRows);
    std::vector<RowDef> rows;
    unsigned int address = static_cast<unsigned int>(pick(50));
    unsigned int type = areas[pick(6)];
    for (int i = 0; i < count; ++i) {
        if (pick(12) == 0) type = areas[pick(6)];
        int step = pick(10);
        if (step < 5)
            address += static_cast<unsigned int>(pick(3));  // next, overlapping or the same element
        else if (step < 8)
            address += static_cast<unsigned int>(pick(8));
        else if (step < 9)
            address += static_cast<unsigned int>(20 + pick(20));  // holes around the bridging limit
        else
            address += static_cast<unsigned int>(pick(200));
        RowDef row{type, address, BIT};
        if (!IsBitArea(type)) {
            row.code = wordCodes[pick(16)];
            if (row.code == STR) row.bit = static_cast<unsigned int>(pick(6) == 0 ? pick(241) : pick(20));
            if (row.code <= 15) row.bit = row.code;
        }
        int rw = pick(20);
        row.rwFlag = rw < 2 ? 1 : (rw < 3 ? 0 : (rw < 4 ? 3 : 2));
        if (pick(60) == 0) row.type = pick(2) == 0 ? 29u : 0xFFFFFFFFu;
        if (!sorted && pick(8) == 0) row.address = static_cast<unsigned int>(pick(400));
        rows.push_back(row);
    }
    if (sorted)
        std::sort(rows.begin(), rows.end(), [](const RowDef& a, const RowDef& b) {
            return std::tie(a.type, a.address, a.bit) < std::tie(b.type, b.address, b.bit);
        });
    else
        std::shuffle(rows.begin(), rows.begin() + static_cast<long>(rows.size() / 3), rng);
    return rows;
}

void RandomWanted(std::mt19937& rng, PlanTable& t) {
    int rows = t.Table().GetRowCount();
    // Now and then shorter than the table: the missing rows are unwanted.
    int size = rng() % 10 == 0 ? static_cast<int>(rng() % static_cast<unsigned int>(rows + 1)) : rows + 1;
    t.wanted.SetSize(size);
    const int values[] = {1, 1, 1, 1, 1, 0, 0, 2, -1};
    for (int i = 0; i < size; ++i) t.wanted[i] = values[rng() % 9];
}

bool Readable(const RowDef& row, const CArray<int, int>& wanted, int index) {
    return index + 1 < wanted.GetSize() && wanted[index + 1] == 1 && row.rwFlag != 1 && row.type <= 28;
}

struct Planned {
    int planType;
    int rowMode;
};

// Checks one plan; returns the first broken property or "".
std::string CheckPlan(PlanTable& t, const std::vector<RowDef>& rows, Planned how, int ranks, bool sorted) {
    std::ostringstream why;
    CArray<DynBlock, DynBlock&>& blocks = t.Dev().arBlock;
    int n = blocks.GetSize();
    if (ranks != t.Dev().nRankCount && n > 0) return "rank count not stored";
    std::vector<int> cover(rows.size(), 0);
    std::vector<int> inBlocks(rows.size(), 0);
    bool alone = how.rowMode == 1 || how.rowMode == 3 || how.rowMode == 5;
    for (int b = 0; b < n; ++b) {
        const DynBlock& block = blocks[b];
        why << "block " << b << " (" << block.nStartRow << "-" << block.nEndRow << "): ";
        if (block.nStartRow < 0 || block.nEndRow < block.nStartRow || block.nEndRow >= static_cast<int>(rows.size()))
            return why.str() + "rows outside the table";
        // Blocks follow the table, except that mixed plans may move short
        // blocks to the front; no row lies in two blocks.
        bool mixed = how.planType == PLAN_MIX || how.planType == PLAN_MIX2;
        if (!mixed && b > 0 && block.nStartRow <= blocks[b - 1].nEndRow) return why.str() + "out of table order";
        for (int r = block.nStartRow; r <= block.nEndRow; ++r)
            if (++inBlocks[r] > 1) return why.str() + "shares a row with another block";
        if (block.nLength != CDevBas::mfFetchBlockLen(t.Table(), block.nStartRow, block.nEndRow))
            return why.str() + "length differs from the rows' span";
        // Ranks 0, 1, 2, ... ascending with the index, without gaps.
        int expectedRank = b == 0 ? 0 : blocks[b - 1].nRank;
        if (block.nRank != expectedRank && block.nRank != expectedRank + 1) return why.str() + "rank out of order";
        if (b == 0 && block.nRank != 0) return why.str() + "first rank not 0";
        if (!mixed && b > 0 && block.nRank != expectedRank + 1) return why.str() + "two blocks share a rank";

        unsigned int type = static_cast<unsigned int>(block.nChlType);
        int readable = 0;
        for (int r = block.nStartRow; r <= block.nEndRow; ++r) {
            if (!Readable(rows[r], t.wanted, r)) continue;
            ++readable;
            ++cover[r];
            if (rows[r].type != type) return why.str() + "mixes channel types";
            if (sorted) {
                // The request reads from the first row's address for nLength
                // elements; every wanted row must lie inside.
                long long from = rows[block.nStartRow].address;
                if (rows[r].address < from ||
                    rows[r].address + CDevBas::mfGetRowWidth(rows[r].code, rows[r].bit) > from + block.nLength)
                    return why.str() + "a wanted row lies outside the request";
            }
        }
        if (alone && readable != 1) return why.str() + "row mode puts rows together";
        if (sorted && (rows[block.nStartRow].type != type || rows[block.nEndRow].type != type))
            return why.str() + "starts or ends with a row of another area";

        // Limits: 115 elements per block; through joined links at most 120
        // words or 145 bits; for writes 120 bits or 48 words. A single row
        // longer than that stands alone.
        long long limit = how.planType == PLAN_CMDWRITE ? (IsBitArea(type) ? 120 : 48) : 115;
        long long joined = how.planType == PLAN_CMDWRITE ? limit : (IsBitArea(type) ? 145 : 120);
        if (block.nLength > joined && block.nStartRow != block.nEndRow) return why.str() + "too long";
        why.str("");
    }
    for (size_t r = 0; r < rows.size(); ++r) {
        int expected = Readable(rows[r], t.wanted, static_cast<int>(r)) ? 1 : 0;
        if (cover[r] != expected) {
            why << "row " << r << " covered " << cover[r] << " times";
            return why.str();
        }
    }
    int lastRank = n > 0 ? blocks[n - 1].nRank + 1 : 0;
    if (ranks != lastRank) return "ranks returned differ from the ranks planned";
    return "";
}

}  // namespace

TEST(RandomTables, EveryPlanCoversEachWantedRowOnceWithinTheLimits) {
    const Planned plans[] = {{PLAN_CYCLIC, -1},  {PLAN_CMDREAD, 0}, {PLAN_CMDWRITE, 11},
                             {PLAN_CMDWRITE, 1}, {PLAN_CMDREAD, 3}, {PLAN_CYCLIC, 5}};
    int tables = 0;
    for (unsigned int seed = 1; seed <= 3000; ++seed) {
        std::mt19937 rng(seed);
        bool sorted = seed % 4 != 0;
        std::vector<RowDef> rows = RandomRows(rng, sorted, seed % 50 == 0 ? 600 : 120);
        Planned how = seed % 3 == 0 ? plans[seed / 3 % 6] : plans[0];
        PlanTable t;
        t.Add(rows);
        RandomWanted(rng, t);
        int ranks = how.planType == PLAN_CYCLIC && how.rowMode == -1 ? t.Plan() : t.Plan(how.planType, how.rowMode);
        std::string broken = CheckPlan(t, rows, how, ranks, sorted);
        ASSERT_EQ(broken, "") << "seed " << seed << ", plan type " << how.planType << ", row mode " << how.rowMode
                              << ", " << rows.size() << " rows: " << t.Blocks();
        // Planning again gives the same plan.
        std::string first = t.Blocks();
        t.Plan(how.planType, how.rowMode);
        ASSERT_EQ(t.Blocks(), first) << "seed " << seed;
        ++tables;
    }
    EXPECT_EQ(tables, 3000);
}

TEST(RandomTables, MixedPlansKeepTheirRanksInOrder) {
    for (unsigned int seed = 1; seed <= 600; ++seed) {
        std::mt19937 rng(seed);
        std::vector<RowDef> rows = RandomRows(rng, true, 60);
        Planned how{seed % 2 == 0 ? PLAN_MIX : PLAN_MIX2, 0};
        PlanTable t;
        t.Add(rows);
        RandomWanted(rng, t);
        int ranks = t.Plan(how.planType, how.rowMode);
        // A first group that cannot hold the first block plans nothing; the
        // blocks are then left as they are.
        if (ranks == 0) continue;
        std::string broken = CheckPlan(t, rows, how, ranks, true);
        ASSERT_EQ(broken, "") << "seed " << seed << ", plan type " << how.planType << ": " << t.Blocks();
    }
}

TEST(RandomTables, AFiveThousandChannelTablePlansInOnePass) {
    std::mt19937 rng(20240611);
    std::vector<RowDef> rows;
    // 5000 channels in four areas, mostly consecutive, with holes.
    const unsigned int areas[] = {M, X, D, ID};
    for (int a = 0; a < 4; ++a) {
        unsigned int address = 0;
        for (int i = 0; i < 1250; ++i) {
            address += rng() % 7 == 0 ? 1 + rng() % 40 : 1;
            rows.push_back(IsBitArea(areas[a]) ? Bit(address, areas[a]) : Word(address, areas[a]));
        }
    }
    PlanTable t;
    t.Add(rows);
    int ranks = t.Plan();
    EXPECT_EQ(CheckPlan(t, rows, Planned{PLAN_CYCLIC, -1}, ranks, true), "");
    // About 4900 elements and 45 wide holes per area: well under the 880
    // requests it would cost if holes were not read along.
    EXPECT_LT(ranks, 4 * (1250 * 12 / 115 + 2));
}
