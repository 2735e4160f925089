// Placeholder bodies until this concern is implemented.
#include "DevBas.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevBas::mfMakeBlock(ZEVO_DATA& data, CArray<int, int>& wanted, int unused) { return {}; }
int CDevBas::mfMakeBlockDynamic(ZEVO_DATA& data, CArray<int, int>& wanted, int planType, int rowMode) { return {}; }
int CDevBas::mfBuildDynBlock(ZEVO_DATA& data, CArray<int, int>& wanted, int planType, int rowMode) { return {}; }
int CDevBas::mfAnalyzeDynBlock(ZEVO_DATA& data, int fromRank, int planType, int countLinks) { return {}; }
int CDevBas::mfLinkRankBlock(ZEVO_DATA& data, int fromRank, int planType, int maxLinkState) { return {}; }
int CDevBas::mfMakeMixBlockOnly(ZEVO_DATA& data, int mixMode) { return {}; }
int CDevBas::mfFetchBlockLen(CDevTable& table, int firstRow, int lastRow) { return {}; }
int CDevBas::mfSetCollectFlag(ZEVO_DATA& data, CArray<int, int>& flags, int rank, int flag) { return {}; }
int CDevBas::mfCheckAddressOffset(ZEVO_DATA& data, int, int, int) { return {}; }
int CDevBas::mfGetRowWidth(CDevRow& row) { return {}; }
