// The port interface that hosts call through. The order of the operations is
// the layout of the interface shared with host binaries: never reorder them.
#ifndef KQSER_ISERBASE_H
#define KQSER_ISERBASE_H

#include "KqApi.h"

// Observer of a port. Ports keep pointers to observers; the library never
// calls, copies or deletes them, so the type has no operations of its own.
class KQ_API ISerObserver {};

class KQ_API ISerBase {
public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual int IsBusy() = 0;
    virtual int GetType() = 0;
    virtual const char* GetNote() = 0;
    virtual int Open(const char* def) = 0;
    virtual int Close() = 0;
    virtual int IsOpened() = 0;
    virtual int GetHandle() = 0;
    virtual int SetDef(const char* def) = 0;
    virtual int SetPort(int port) = 0;
    virtual int SetBaud(int baud) = 0;
    virtual int SetTimeout(int byteTimeout, int baseTimeout) = 0;
    virtual int Purge() = 0;
    virtual int Read(unsigned char* buf, int len, int timeout) = 0;
    virtual int Write(const unsigned char* buf, int len) = 0;
    virtual int Write(const unsigned char* text) = 0;
    virtual int InsertObserver(ISerObserver* observer) = 0;
    virtual int RemoveObserver(ISerObserver* observer) = 0;
};

// Type codes: port kind (class in bits 20-23, family in bits 16-19) plus the
// port number.
enum : int {
    KQ_CLASS_MASK = 0xF00000,
    KQ_KIND_SERIAL = 0x100000,
    KQ_KIND_SERIAL_B = 0x110000,
    KQ_KIND_SERIAL_C = 0x120000,
    KQ_KIND_NET = 0x200000,
    KQ_KIND_USB = 0x400000,
    KQ_KIND_DIO = 0x800000,
};

#endif
