// Device-data lifecycle: the row schema, reading the configuration into the
// device data, working copies for commands, and release.
#include "DevBas.h"
#include "DevVocabulary.h"
#include "OwnerArchive.h"

namespace {

// A stored property count beyond which no real configuration lies; larger
// counts are bounded by what the remaining bytes could hold.
const int PROPERTY_COUNT_CEILING = 4096;

}  // namespace

int CDevBas::mfInitBlockAndRow() {
    CDevRow::SetPropertyNum(DEVROW_PROPERTY_COUNT);
    for (int i = 0; i < DEVROW_PROPERTY_COUNT; ++i)
        CDevRow::SetPropertyNameAndType(i, DEVROW_DWORD_PROPERTYTYPE[i], DEVROW_STR_PROPERTYNAME[i],
                                        DEVROW_DWORD_PROPERTYTAXIS[i]);
    return 1;
}

void CDevBas::mfCheckDevDataInit(ZEVO_DATA& data) {
    if (data.pDevData != nullptr) return;
    DEV_DATA* dev = new DEV_DATA;
    dev->pTable = nullptr;
    data.pDevData = dev;
    dev->arProperty.SetSize(DEV_PROPERTY_COUNT);
    dev->pTable = new CDevTable;
    if (data.pArchive != nullptr && data.pArchive->SvrGetRealBufferSize() != 0) mfDeserialize(data);
    dev->nReadRank = -1;
    dev->nReadIndex = 0;
    dev->nPlanTotal = 0;
    dev->nRankCount = 0;
    dev->arBlock.RemoveAll();
}

int CDevBas::mfDeserialize(ZEVO_DATA& data) {
    COwnerArchive* ar = data.pArchive;
    if (ar == nullptr) return -1;
    ar->SvrChangeMode(ARCHIVE_LOADING);
    if (ar->GetNowVersion() > ARCHIVE_VERSION) return -1;
    return mfDeserializeFromOld(data);
}

int CDevBas::mfDeserializeFromOld(ZEVO_DATA& data) {
    COwnerArchive& ar = *data.pArchive;
    DEV_DATA* dev = data.pDevData;
    int count = 0;
    ar >> count;
    // A negative count reads no properties; an absurd one is bounded. The
    // array keeps at least the ten properties the engine reads.
    if (count < 0) count = 0;
    int fits = ar.SvrGetRemaining() / 4;
    int bound = fits > PROPERTY_COUNT_CEILING ? fits : PROPERTY_COUNT_CEILING;
    if (count > bound) count = bound;
    dev->arProperty.SetSize(count < DEV_PROPERTY_COUNT ? DEV_PROPERTY_COUNT : count);
    for (int i = 0; i < count; ++i) ar >> dev->arProperty[i];
    ar >> *dev->pTable;
    return 0;
}

void CDevBas::mfCreateMydata(ZEVO_DATA& source, ZEVO_DATA& copy) {
    copy.pArchive = source.pArchive;
    copy.pComm = source.pComm;
    copy.pRtdb = source.pRtdb;
    copy.strDevName = source.strDevName;
    copy.pfnSetParamValue = source.pfnSetParamValue;
    copy.pfnGetParamValue = source.pfnGetParamValue;
    copy.pfnGetParamType = source.pfnGetParamType;
    DEV_DATA* dev = new DEV_DATA;
    dev->pTable = new CDevTable;
    int count = source.pDevData != nullptr ? source.pDevData->arProperty.GetSize() : 0;
    dev->arProperty.SetSize(count < DEV_PROPERTY_COUNT ? DEV_PROPERTY_COUNT : count);
    for (int i = 0; i < count; ++i) dev->arProperty[i] = source.pDevData->arProperty[i];
    dev->nReadRank = 0;
    dev->nReadIndex = 0;
    dev->nPlanTotal = 0;
    dev->nRankCount = 0;
    copy.pDevData = dev;
}

int CDevBas::mfDeleteMydata(ZEVO_DATA& data) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr) return 1;
    dev->arProperty.RemoveAll();
    dev->arBlock.RemoveAll();
    delete dev->pTable;
    dev->pTable = nullptr;
    delete dev;
    data.pDevData = nullptr;
    return 1;
}
