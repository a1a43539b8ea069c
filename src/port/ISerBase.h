// SPDX-License-Identifier: MIT
// The port interface that hosts call through. The order of the operations is
// the layout of the interface shared with host binaries: never reorder them.
/// @file
/// The port interface, ISerBase, and the type codes that name ports.
#ifndef KQSER_ISERBASE_H
#define KQSER_ISERBASE_H

#include "KqApi.h"

/// Observer of a port. Ports keep pointers to observers; the library never
/// calls, copies or deletes them, so the type has no operations of its own.
class KQ_API ISerObserver {};

/// A port: a serial line, the GPIO driver or a network peer. The port manager
/// (ISerManager::GetSer) builds and owns every port; a host borrows the
/// pointer until FreeSerManager and never deletes it. No operation takes the
/// port's lock; results are 1/0 truth values unless said otherwise.
class KQ_API ISerBase {
public:
    /// Takes the port's lock for the calling thread, spinning until it is
    /// free, and marks the port busy. The library never takes it: it is for a
    /// host that shares a port between threads, to bracket a sequence of
    /// operations. Not re-entrant: the holder must not call Lock again.
    virtual void Lock() = 0;
    /// Releases the lock and clears the busy mark. Only the holder calls it.
    virtual void Unlock() = 0;
    /// 1 while some thread holds the lock, else 0. Read without the lock, so
    /// only advisory.
    virtual int IsBusy() = 0;
    /// The type code: port kind plus port number (see KQ_KIND_SERIAL and the
    /// other kinds below). The manager keys its ports by this code.
    virtual int GetType() = 0;
    /// The port's description, e.g. "ttyUSB0:115200,n,8,1" for a serial port.
    /// Owned by the port: valid until a definition string changes it or the
    /// manager is freed. Do not free or modify it.
    virtual const char* GetNote() = 0;
    /// Applies @p def first when it is not null (as SetDef does; the type code
    /// may change), then opens the device or connection. 1 on success, 0 on
    /// failure. Opening an open port opens it again. A TCP port waits for the
    /// connection for up to about 15 s.
    virtual int Open(const char* def) = 0;
    /// Closes the device or connection; 1 also when it was closed already
    /// (0 from a port kind that never opens). FreeSerManager destroys every
    /// port and closes those still open; Close is for an end at a moment of
    /// the host's choosing.
    virtual int Close() = 0;
    /// 1 when open, else 0. On a closed network port each call is a reconnect
    /// attempt with the current settings, which may block as Open does.
    virtual int IsOpened() = 0;
    /// The operating-system descriptor behind a serial or GPIO port; -1 when
    /// closed, and always -1 for a network port.
    virtual int GetHandle() = 0;
    /// Applies a definition string to the settings (serial and network ports;
    /// others ignore it); the next Open uses them. Always 1. A new type code
    /// takes effect at once: the manager then finds the port under that code.
    virtual int SetDef(const char* def) = 0;
    /// Network port: sets its TCP or UDP port number; a value of 0x10000 or
    /// more is a whole type code instead, whose low 16 bits become the
    /// number in the port's own type code. 1. Other ports: 0, no change.
    virtual int SetPort(int port) = 0;
    /// Serial port: stores the line speed in bit/s for the next Open (an open
    /// line keeps its speed); 1. Other ports: 0, nothing changes.
    virtual int SetBaud(int baud) = 0;
    /// Sets the per-byte and base time-outs, both in milliseconds; always 1.
    /// Only a network port's Read uses them: called with a time-out of 0, it
    /// waits @p byteTimeout per requested byte plus @p baseTimeout (network
    /// defaults 10 and 1000). Serial and GPIO reads ignore them.
    virtual int SetTimeout(int byteTimeout, int baseTimeout) = 0;
    /// Discards what is pending: both directions of a serial line, what a
    /// network socket has ready to read. 1 on success; 0 when closed, on
    /// failure, and from a GPIO port.
    virtual int Purge() = 0;
    /// Reads up to @p len bytes into @p buf, which must hold @p len bytes.
    /// @p timeout is in milliseconds; what a time-out returns differs by kind:
    /// - serial: the bytes stored, so 0 when nothing came; -1 when closed.
    ///   Reading ends at @p len bytes or at 0.2 s of silence; each full
    ///   second of @p timeout adds one more 0.2 s wait for late bytes, and
    ///   -1000 or less reads until the buffer is full. A 0x00 arriving first
    ///   is dropped as line noise.
    /// - network (TCP, UDP): the bytes received; -1 on time-out, and -1 on an
    ///   error, which also closes the port. 0 when a TCP peer ended the
    ///   connection (the port stays open). A broadcast port returns 0 on
    ///   time-out. @p timeout > 0 is the wait, -1 waits without limit, 0 uses
    ///   SetTimeout's values.
    /// - GPIO: samples line 18 into buf[0] and, when @p len > 1, line 17 into
    ///   buf[1]; returns 1 without waiting. -1 when closed.
    virtual int Read(unsigned char* buf, int len, int timeout) = 0;
    /// Writes @p len bytes with one system call: the count it wrote (a network
    /// send may be partial), or -1 when the port is closed or the write fails
    /// (a failed network send closes the port). GPIO port: buf[0] selects the
    /// line (0 and 1 drive lines 0 and 1, 2 and 3 lines 17 and 18), buf[1]
    /// sets it high when not 0; returns 0.
    virtual int Write(const unsigned char* buf, int len) = 0;
    /// Writes a NUL-terminated string, without its terminator, as the other
    /// Write does. @p text must not be null.
    virtual int Write(const unsigned char* text) = 0;
    /// Adds an observer the port keeps but never calls or owns: its index,
    /// the same index again for a pointer already there, -1 for null.
    virtual int InsertObserver(ISerObserver* observer) = 0;
    /// Removes an observer: the index it had, or -1 when it was not there.
    virtual int RemoveObserver(ISerObserver* observer) = 0;
};

/// Type codes: port kind (class in bits 20-23, family in bits 16-19) plus the
/// port number. The manager hands out one port per type code: two peers need
/// two codes.
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
