// The host's port object. The driver calls slots 10-16 only; slots 0-9 belong
// to the host (open, close and configuration of the port).
#pragma once

#include "ZevoHostApi.h"

class ZEVO_HOST_API ICommunication {
public:
    virtual ~ICommunication() {}                                             // slots 0, 1
    virtual int Open() = 0;                                                  // 2
    virtual int Close() = 0;                                                 // 3
    virtual int IsOpen() = 0;                                                // 4
    virtual int SetTimeouts(unsigned int readMs, unsigned int writeMs) = 0;  // 5
    virtual int GetLastError() = 0;                                          // 6
    virtual const char* GetPortName() = 0;                                   // 7
    virtual int Flush() = 0;                                                 // 8
    virtual int Configure(const char* settings) = 0;                         // 9

    // Writes length bytes within timeoutMs; returns the count written or a
    // negative error.
    virtual int WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) = 0;
    // Returns what is there (up to *length bytes); leaves in *length how many
    // more bytes are known to be waiting (0 when none).
    virtual int ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) = 0;
    // Waits until *length bytes arrived or the timeout ran out; returns the
    // count placed in the buffer, negative on error.
    virtual int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) = 0;
    // Reads until one of the stop characters (included) or *length bytes.
    virtual int ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) = 0;
    virtual int ClearInBuffer() = 0;
    virtual int SetDeviceName(const char* name) = 0;
    // 1 serial line, 2 network link to a serial device server.
    virtual int GetPortType() = 0;
};
