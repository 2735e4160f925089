// Type code of a value in the host's real-time database.
#pragma once

enum DATATYPE {
    DATATYPE_NONE = 0,
    DATATYPE_INT = 1,
    DATATYPE_DOUBLE = 2,
    DATATYPE_STRING = 3,
};
