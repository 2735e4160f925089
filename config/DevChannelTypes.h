// Channel types: the PLC's element areas, by the index a row stores (0-28),
// in the order of CHL_STR_NAME. Types up to CHL_BITAREA_LAST are bit areas,
// read and written bit by bit; the rest are word areas of 16-bit elements.
#pragma once

enum CHL_TYPE {
    // bit areas
    CHL_TYPE_M = 0,
    CHL_TYPE_X = 1,
    CHL_TYPE_Y = 2,
    CHL_TYPE_S = 3,
    CHL_TYPE_SM = 4,
    CHL_TYPE_T = 5,
    CHL_TYPE_C = 6,
    CHL_TYPE_ET = 7,
    CHL_TYPE_SEM = 8,
    CHL_TYPE_HM = 9,
    CHL_TYPE_HS = 10,
    CHL_TYPE_HT = 11,
    CHL_TYPE_HC = 12,
    CHL_TYPE_HSC = 13,
    // word areas
    CHL_TYPE_D = 14,
    CHL_TYPE_ID = 15,
    CHL_TYPE_QD = 16,
    CHL_TYPE_SD = 17,
    CHL_TYPE_TD = 18,
    CHL_TYPE_CD = 19,
    CHL_TYPE_ETD = 20,
    CHL_TYPE_HD = 21,
    CHL_TYPE_HSD = 22,
    CHL_TYPE_HTD = 23,
    CHL_TYPE_HCD = 24,
    CHL_TYPE_HSCD = 25,
    CHL_TYPE_FD = 26,
    CHL_TYPE_SFD = 27,
    CHL_TYPE_FS = 28,
};

const int CHL_TYPE_COUNT = 29;              // channel types 0-28
const int CHL_BITAREA_LAST = CHL_TYPE_HSC;  // types 0-13 are bit areas
const int CHL_WORDAREA_FIRST = CHL_TYPE_D;  // types 14-28 are word areas

// True for the channel type of a bit area.
inline bool ChlIsBitArea(long long type) { return type >= 0 && type <= CHL_BITAREA_LAST; }
