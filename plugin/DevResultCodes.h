// Result codes the host sees from the controller's calls, and what each
// means: collection and command results (the engine's DEV_RESULT errors,
// negated), the controller's own codes and those of its database wrapper.
// DevResultText is the one table of their meanings; the README's "Result
// codes" table says the same.
#pragma once

// Collection and command results.
const int DEVCTRL_OK = 0;
const int DEVCTRL_NOREQUEST = 1;        // no planned request for the rank
const int DEVCTRL_NOANSWER = 2;         // -DEV_ERR_NOANSWER
const int DEVCTRL_WRITEFAILED = 4;      // -DEV_ERR_WRITE
const int DEVCTRL_BADCOMMAND = 5;       // -DEV_ERR_COMMAND
const int DEVCTRL_NOTRANSFER = 6;       // -DEV_ERR_NOTRANSFER
const int DEVCTRL_BADANSWER = 7;        // -DEV_ERR_ANSWER
const int DEVCTRL_COLLECTFAILED = 100;  // -DEV_ERR_COLLECT

// The controller's own codes.
const int DEVCTRL_ERR_NOPORT = -2;
const int DEVCTRL_ERR_NORTDB = -3;
const int DEVCTRL_ERR_ALLOC = static_cast<int>(0x80000000u);
const int DEVCTRL_ERR_ARGUMENT = static_cast<int>(0x80000001u);
const int DEVCTRL_ERR_VERSION = static_cast<int>(0x80000002u);

// The database wrapper's codes (the same values as the controller's).
const int RTDB_ERR_NODATABASE = DEVCTRL_ERR_ALLOC;
const int RTDB_ERR_VERSION = DEVCTRL_ERR_VERSION;

// What a result code means; "unknown code" for any other value.
inline const char* DevResultText(int code) {
    switch (code) {
        case DEVCTRL_OK:
            return "success";
        case DEVCTRL_NOREQUEST:
            return "no planned request for the rank";
        case DEVCTRL_NOANSWER:
            return "no answer from the PLC";
        case DEVCTRL_WRITEFAILED:
            return "write failed: no reply or a wrong reply";
        case DEVCTRL_BADCOMMAND:
            return "bad command or channel (not understood, beyond the table, or read only)";
        case DEVCTRL_NOTRANSFER:
            return "nothing handed over (a host variable refused the value)";
        case DEVCTRL_BADANSWER:
            return "wrong answer: too short, another function code, a CRC that does not match, or a byte count other "
                   "than the data asked for, unless a request that starts with a string row is answered with 1 or more "
                   "of the bytes asked for, as many as it announces, and no other row of it lies beyond them (the "
                   "station byte is not checked)";
        case DEVCTRL_COLLECTFAILED:
            return "collection step failed";
        case DEVCTRL_ERR_NOPORT:
            return "no port";
        case DEVCTRL_ERR_NORTDB:
            return "no device data or database (after CleanupDevice)";
        case DEVCTRL_ERR_ALLOC:
            return "allocation failed, or no database";
        case DEVCTRL_ERR_ARGUMENT:
            return "bad argument, or a port of unexpected type";
        case DEVCTRL_ERR_VERSION:
            return "database call not offered at the host's interface version";
        default:
            return "unknown code";
    }
}
