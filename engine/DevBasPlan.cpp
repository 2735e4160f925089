// Block planning: groups the wanted rows of a channel table into read (or
// write) blocks of consecutive PLC elements of one area, keeps every block
// within the request limits of its area, joins neighbouring blocks across
// small address holes and numbers the resulting requests (ranks).
//
// Every routine reads the properties of the rows it needs once, at its start,
// into a local vector and works on 64-bit element positions from then on, so
// that neither a long table nor absurd addresses or string lengths cost
// repeated lookups or overflow. Block arrays are rebuilt in one pass instead
// of by repeated insertion and removal.
#include <algorithm>
#include <climits>
#include <vector>

#include "DevBas.h"
#include "DevVocabulary.h"

namespace {

// Elements one read request may cover before links are carried out.
const long long READ_BLOCK_CAP = 115;
// Elements a hole may span and still be read along.
const long long HOLE_BRIDGE = 30;
// Mixed plans: elements and blocks of one group.
const long long MIX_GROUP_ELEMENTS = 46;
const int MIX_GROUP_BLOCKS = 126;
// Read/write flag of a write-only row.
const unsigned int RWFLAG_WRITEONLY = 1;
// Limits used for a block whose channel type lies outside the tables: those
// of a word area, the narrower kind.
const long long FALLBACK_READ_MAXNUM = 120;
const long long FALLBACK_WRITE_MAXNUM = 48;

// What the planner needs of one row.
struct RowFacts {
    long long address;
    long long width;
    unsigned int type;
    unsigned int code;
    unsigned int rwFlag;
};

RowFacts FactsOf(CDevRow& row) {
    RowFacts f;
    f.address = row.GetdwValue(DEVROW_STR_CHLADDRESS);
    f.type = row.GetdwValue(DEVROW_STR_CHLTYPE);
    f.code = row.GetdwValue(DEVROW_STR_CHLDATATYPE);
    f.rwFlag = row.GetdwValue(DEVROW_STR_CHLRWFLAG);
    f.width = CDevBas::mfGetRowWidth(f.code, row.GetdwValue(DEVROW_STR_CHLBIT));
    return f;
}

std::vector<RowFacts> LoadFacts(CDevTable& table) {
    std::vector<RowFacts> facts;
    int count = table.GetRowCount();
    if (count <= 0) return facts;
    facts.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) facts.push_back(FactsOf(table.Row(i)));
    return facts;
}

int ClampToInt(long long value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool KnownType(long long type) { return type >= 0 && type < CHL_TYPE_COUNT; }

long long ReadMaxNum(int type) { return KnownType(type) ? DEV_READBLK_MAXNUM[type] : FALLBACK_READ_MAXNUM; }

// Elements one block may cover: the write limit of the area for block writes,
// else its read limit.
long long BlockLimit(int planType, int type) {
    if (planType == PLAN_CMDWRITE) return KnownType(type) ? DEV_WRITEBLK_MAXNUM[type] : FALLBACK_WRITE_MAXNUM;
    return std::min(ReadMaxNum(type), READ_BLOCK_CAP);
}

// Elements from the address of row first to the end of row last; 0 when
// either row is not in the table.
long long Span(const std::vector<RowFacts>& facts, int first, int last) {
    int count = static_cast<int>(facts.size());
    if (first < 0 || last < 0 || first >= count || last >= count) return 0;
    return facts[last].address + facts[last].width - facts[first].address;
}

std::vector<DynBlock> CopyBlocks(CArray<DynBlock, DynBlock&>& blocks) {
    std::vector<DynBlock> copy;
    copy.reserve(static_cast<size_t>(blocks.GetSize()));
    for (int i = 0; i < blocks.GetSize(); ++i) copy.push_back(blocks[i]);
    return copy;
}

void StoreBlocks(CArray<DynBlock, DynBlock&>& blocks, std::vector<DynBlock>& from) {
    blocks.SetSize(static_cast<int>(from.size()));
    for (size_t i = 0; i < from.size(); ++i) blocks[static_cast<int>(i)] = from[i];
}

// Chooses where an over-long block [s, e] of channel type t is cut: the first
// part is s..p, the rest p+1..e; -1 when it cannot be cut.
//
// The cut falls before the first row whose end lies beyond the limit (or
// right after the first row when that row alone is too long). A request is
// sized by its first and last row only, so a cut is sound when the last row
// of the first part reaches at least as far as every readable row of the
// block's type before it, and the first row of the rest lies no higher than
// every such row after it; rows of the table that overlap or are out of order
// can break that at the natural place, and then the nearest sound place
// before it is taken. If there is none, the cut stays at the natural place.
// suffixLow[k - s] is the lowest address of a readable row of type t among
// rows k..e.
int CutPoint(const std::vector<RowFacts>& facts, int s, int e, unsigned int t, long long limit,
             const std::vector<long long>& suffixLow, int suffixBase) {
    int count = static_cast<int>(facts.size());
    if (s < 0 || e >= count || s >= e) return -1;
    std::vector<long long> prefixHigh;  // highest end of a readable row of type t among rows s..k
    long long high = LLONG_MIN;
    int j = -1;
    for (int k = s; k <= e; ++k) {
        const RowFacts& f = facts[k];
        if (f.type == t && f.rwFlag != RWFLAG_WRITEONLY) high = std::max(high, f.address + f.width);
        prefixHigh.push_back(high);
        if (f.address + f.width - facts[s].address > limit) {
            j = k;
            break;
        }
    }
    if (j < 0) return -1;
    int natural = j == s ? s : j - 1;
    for (int p = natural; p >= s; --p) {
        const RowFacts& last = facts[p];
        const RowFacts& next = facts[p + 1];
        bool endCovers = last.type == t && last.address + last.width >= prefixHigh[p - s];
        bool startCovers = next.type == t && next.address <= suffixLow[p + 1 - suffixBase];
        if (endCovers && startCovers) return p;
    }
    return natural;
}

}  // namespace

int CDevBas::mfGetRowWidth(CDevRow& row) {
    return ClampToInt(mfGetRowWidth(row.GetdwValue(DEVROW_STR_CHLDATATYPE), row.GetdwValue(DEVROW_STR_CHLBIT)));
}

int CDevBas::mfFetchBlockLen(CDevTable& table, int firstRow, int lastRow) {
    int count = table.GetRowCount();
    if (firstRow < 0 || lastRow < 0 || firstRow >= count || lastRow >= count) return 0;
    RowFacts last = FactsOf(table.Row(lastRow));
    long long first = table.Row(firstRow).GetdwValue(DEVROW_STR_CHLADDRESS);
    return ClampToInt(last.address + last.width - first);
}

int CDevBas::mfBuildDynBlock(ZEVO_DATA& data, CArray<int, int>& wanted, int /*planType*/, int rowMode) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr) return 0;
    dev->arBlock.RemoveAll();
    dev->nPlanTotal = 0;
    if (dev->pTable == nullptr || dev->pTable->GetRowCount() <= 0) return 0;

    std::vector<RowFacts> facts = LoadFacts(*dev->pTable);
    int rowCount = static_cast<int>(facts.size());
    // The single-item write commands give every row a request of its own.
    bool rowAlone = rowMode == 1 || rowMode == 3 || rowMode == 5;

    std::vector<DynBlock> runs;
    long long total = 0;
    int first = -1;
    int last = -1;
    unsigned int runType = 0;
    long long prevAddress = 0;
    long long prevWidth = 0;
    auto close = [&](int state) {
        DynBlock block;
        block.nStartRow = first;
        block.nEndRow = last;
        block.nChlType = static_cast<int>(runType);
        block.nLength = ClampToInt(Span(facts, first, last));
        block.nRank = static_cast<int>(runs.size());
        block.nState = state;
        runs.push_back(block);
        total += block.nLength;
    };

    for (int i = 0; i < rowCount; ++i) {
        // A wanted array shorter than the table leaves the missing rows unwanted.
        if (i + 1 >= wanted.GetSize() || wanted[i + 1] != 1) continue;
        const RowFacts& f = facts[i];
        // Write-only rows are never read; rows of an unknown area cannot be.
        if (f.rwFlag == RWFLAG_WRITEONLY || !KnownType(f.type)) continue;
        if (first >= 0) {
            int state = 0;
            if (f.address < prevAddress || f.type != runType)
                state = BLOCK_CLOSED;
            else if (f.code == DATACODE_STR || rowAlone)
                state = BLOCK_CLOSED;
            else if (f.address - prevAddress > prevWidth)
                state = BLOCK_GAP;
            else if (f.address + f.width < prevAddress + prevWidth)
                state = BLOCK_CLOSED;  // it would end inside the previous row
            if (state == 0) {
                last = i;
                prevAddress = f.address;
                prevWidth = f.width;
                continue;
            }
            close(state);
        }
        first = last = i;
        runType = f.type;
        prevAddress = f.address;
        prevWidth = f.width;
    }
    if (first >= 0) close(BLOCK_CLOSED);

    StoreBlocks(dev->arBlock, runs);
    dev->nPlanTotal = ClampToInt(total);
    return static_cast<int>(runs.size());
}

int CDevBas::mfAnalyzeDynBlock(ZEVO_DATA& data, int fromRank, int planType, int countLinks) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr) return 0;
    if (dev->pTable == nullptr) return dev->arBlock.GetSize();
    std::vector<RowFacts> facts = LoadFacts(*dev->pTable);
    std::vector<DynBlock> in = CopyBlocks(dev->arBlock);
    std::vector<DynBlock> out;
    out.reserve(in.size());
    int links = 0;
    size_t n = in.size();

    for (size_t i = 0; i < n; ++i) {
        DynBlock cur = in[i];
        if (cur.nRank < fromRank) {
            out.push_back(cur);
            continue;
        }
        const unsigned int type = static_cast<unsigned int>(cur.nChlType);
        const long long limit = BlockLimit(planType, cur.nChlType);
        const int end = cur.nEndRow;
        std::vector<long long> suffixLow;  // filled when the block must be cut
        const int suffixBase = cur.nStartRow;

        // Cut the block while it is too long; every rest goes on as a block
        // of its own right after the part cut off.
        while (cur.nLength > limit && cur.nStartRow < cur.nEndRow) {
            if (suffixLow.empty() && suffixBase >= 0 && end < static_cast<int>(facts.size())) {
                suffixLow.assign(static_cast<size_t>(end - suffixBase + 1) + 1, LLONG_MAX);
                for (int k = end; k >= suffixBase; --k) {
                    const RowFacts& f = facts[k];
                    long long low = suffixLow[k + 1 - suffixBase];
                    if (f.type == type && f.rwFlag != RWFLAG_WRITEONLY) low = std::min(low, f.address);
                    suffixLow[k - suffixBase] = low;
                }
            }
            int p = suffixLow.empty() ? -1 : CutPoint(facts, cur.nStartRow, end, type, limit, suffixLow, suffixBase);
            if (p < 0) break;
            DynBlock rest = cur;
            rest.nStartRow = p + 1;
            rest.nLength = ClampToInt(Span(facts, p + 1, end));
            rest.nRank = 1;
            cur.nEndRow = p;
            cur.nLength = ClampToInt(Span(facts, cur.nStartRow, p));
            cur.nState = BLOCK_CLOSED;
            out.push_back(cur);
            cur = rest;
        }

        if (i + 1 == n) {
            cur.nState = BLOCK_CLOSED;
            out.push_back(cur);
            break;
        }
        // A block that ended at a hole may be read together with the next
        // one when the hole is small and both fit into one request.
        if (planType != PLAN_CMDWRITE && cur.nState != BLOCK_CLOSED) {
            const DynBlock& next = in[i + 1];
            bool link = false;
            if (next.nChlType == cur.nChlType && next.nStartRow >= cur.nEndRow) {
                long long gap = Span(facts, cur.nEndRow, next.nStartRow);
                link = cur.nLength + gap <= limit && gap <= HOLE_BRIDGE &&
                       Span(facts, cur.nStartRow, next.nEndRow) <= limit;
            }
            cur.nState = link ? BLOCK_LINKED : BLOCK_CLOSED;
            if (link && countLinks > 0) ++links;
        }
        out.push_back(cur);
    }

    StoreBlocks(dev->arBlock, out);
    return static_cast<int>(out.size()) - links;
}

int CDevBas::mfLinkRankBlock(ZEVO_DATA& data, int fromRank, int planType, int maxLinkState) {
    DEV_DATA* dev = data.pDevData;
    int rank = fromRank;
    if (dev == nullptr) return rank;
    std::vector<DynBlock> blocks = CopyBlocks(dev->arBlock);
    size_t n = blocks.size();
    if (n == 0) return rank;
    std::vector<RowFacts> facts;
    if (dev->pTable != nullptr) facts = LoadFacts(*dev->pTable);

    std::vector<DynBlock> out;
    out.reserve(n);
    // blocks[k] is the block being examined; a join replaces blocks[k + 1]
    // by the joined block, which is then examined again.
    for (size_t k = 0; k < n; ++k) {
        DynBlock cur = blocks[k];
        if (k + 1 == n) {
            if (cur.nRank >= fromRank) cur.nRank = rank++;
            out.push_back(cur);
            break;
        }
        if (cur.nRank < fromRank) {
            out.push_back(cur);
            continue;
        }
        if (cur.nState >= BLOCK_LINKED && cur.nState <= maxLinkState) {
            const DynBlock& next = blocks[k + 1];
            long long span = Span(facts, cur.nStartRow, next.nEndRow);
            long long ceiling = std::min(ReadMaxNum(cur.nChlType), BlockLimit(planType, cur.nChlType) + HOLE_BRIDGE);
            if (span <= ceiling) {
                cur.nEndRow = next.nEndRow;
                cur.nLength = ClampToInt(span);
                cur.nRank = rank;
                cur.nState = next.nState;
                blocks[k + 1] = cur;
                continue;
            }
            cur.nState = BLOCK_CLOSED;
        }
        cur.nRank = rank++;
        out.push_back(cur);
    }

    StoreBlocks(dev->arBlock, out);
    return rank;
}

int CDevBas::mfMakeMixBlockOnly(ZEVO_DATA& data, int mixMode) {
    DEV_DATA* dev = data.pDevData;
    if (mixMode != 1 && mixMode != 2) return mixMode == 0 ? 0 : -1;
    if (dev == nullptr) return 0;
    CArray<DynBlock, DynBlock&>& blocks = dev->arBlock;
    int n = blocks.GetSize();

    if (mixMode == 2) {
        // Consecutive blocks share a request while they fit into one group.
        // A block too long for any group gets a group of its own.
        for (int b = 0; b < n; ++b) blocks[b].nRank = 0;
        if (n == 0 || blocks[0].nLength > MIX_GROUP_ELEMENTS) return 0;
        int group = 0;
        long long sum = 0;
        int members = 0;
        for (int b = 0; b < n; ++b) {
            long long length = blocks[b].nLength;
            bool fits = sum <= MIX_GROUP_ELEMENTS && sum + length <= MIX_GROUP_ELEMENTS &&
                        length <= MIX_GROUP_ELEMENTS && members < MIX_GROUP_BLOCKS;
            if (members > 0 && !fits) {
                ++group;
                sum = 0;
                members = 0;
            }
            blocks[b].nRank = group;
            sum += length;
            ++members;
        }
        return group + 1;
    }

    // Mode 1: the shortest blocks (the first of equal ones) move to the front,
    // in order of length, and form group 0 while their lengths sum to at most
    // one group; all others keep their order and rank 1. Taking the shortest
    // remaining block again and again is a stable ordering by length, so the
    // moved blocks are the longest prefix of that order that fits.
    std::vector<DynBlock> in = CopyBlocks(blocks);
    std::vector<int> order(in.size());
    for (size_t i = 0; i < in.size(); ++i) order[i] = static_cast<int>(i);
    std::stable_sort(order.begin(), order.end(), [&in](int a, int b) { return in[a].nLength < in[b].nLength; });
    std::vector<bool> moved(in.size(), false);
    std::vector<DynBlock> out;
    out.reserve(in.size());
    long long sum = 0;
    bool overflow = false;
    for (int index : order) {
        if (sum + in[index].nLength > MIX_GROUP_ELEMENTS) {
            overflow = true;
            break;
        }
        sum += in[index].nLength;
        moved[index] = true;
        out.push_back(in[index]);
        out.back().nRank = 0;
    }
    bool anyMoved = !out.empty();
    for (size_t i = 0; i < in.size(); ++i) {
        if (moved[i]) continue;
        out.push_back(in[i]);
        out.back().nRank = 1;
    }
    StoreBlocks(blocks, out);
    return overflow && anyMoved ? 1 : 0;
}

int CDevBas::mfMakeBlockDynamic(ZEVO_DATA& data, CArray<int, int>& wanted, int planType, int rowMode) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr) return 0;
    int runs = mfBuildDynBlock(data, wanted, planType, rowMode);
    if (runs == 0) return 0;
    int analysed = mfAnalyzeDynBlock(data, 0, planType, 3);
    int ranks = 0;
    switch (planType) {
        case PLAN_CYCLIC:
            ranks = mfLinkRankBlock(data, 0, PLAN_CYCLIC, 3);
            break;
        case PLAN_MIX:
            if (analysed == 1 || runs == 1) {
                ranks = mfLinkRankBlock(data, 0, PLAN_MIX, 3);
            } else if (dev->nPlanTotal <= MIX_GROUP_ELEMENTS) {
                ranks = mfMakeMixBlockOnly(data, 2);
            } else {
                mfLinkRankBlock(data, 0, PLAN_MIX, 1);
                int mixed = mfMakeMixBlockOnly(data, 1);
                mfAnalyzeDynBlock(data, mixed, PLAN_MIX, 0);
                ranks = mfLinkRankBlock(data, mixed, PLAN_MIX, 3);
            }
            break;
        case PLAN_MIX2:
            mfLinkRankBlock(data, 0, PLAN_MIX2, 1);
            ranks = mfMakeMixBlockOnly(data, 2);
            break;
        case PLAN_CMDREAD:
            ranks = mfLinkRankBlock(data, 0, PLAN_CMDREAD, 3);
            break;
        case PLAN_CMDWRITE:
            ranks = mfLinkRankBlock(data, 0, PLAN_CMDWRITE, 0);
            break;
        default:
            ranks = 0;
            break;
    }
    dev->arBlock.FreeExtra();
    dev->nRankCount = ranks;
    return ranks;
}

int CDevBas::mfMakeBlock(ZEVO_DATA& data, CArray<int, int>& wanted, int /*unused*/) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr) return 0;
    int ranks = mfMakeBlockDynamic(data, wanted, PLAN_CYCLIC, -1);
    dev->nRankCount = ranks;
    dev->nReadRank = 0;
    dev->nReadIndex = 0;
    return ranks;
}

int CDevBas::mfSetCollectFlag(ZEVO_DATA& data, CArray<int, int>& flags, int rank, int flag) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr) return 1;
    CArray<DynBlock, DynBlock&>& blocks = dev->arBlock;
    // Element 0 belongs to no row; rows beyond the array have no flag.
    const long long lastElement = flags.GetSize() - 1;
    for (int b = 0; b < blocks.GetSize(); ++b) {
        const DynBlock& block = blocks[b];
        if (block.nRank > rank) {
            if (flag == 3) dev->nReadIndex = b;
            break;
        }
        if (block.nRank != rank) continue;
        long long from = std::max(static_cast<long long>(block.nStartRow) + 1, 1LL);
        long long to = std::min(static_cast<long long>(block.nEndRow) + 1, lastElement);
        for (long long e = from; e <= to; ++e) {
            int& element = flags[static_cast<int>(e)];
            if (element > 0) element = flag;
        }
    }
    return 1;
}

int CDevBas::mfCheckAddressOffset(ZEVO_DATA& /*data*/, int, int, int) { return 1; }
