// SPDX-License-Identifier: MIT
// IPv4 socket handle for host code, with Windows-Sockets conventions:
// sockets are long values (-1 for none), time-outs are unsigned milliseconds
// (0xFFFFFFFF for no limit), failure codes go to the last error.
/// @file
/// A socket handle, an IPv4 address and Windows-named shims, exported for the
/// host's own use; no port of the library uses them. Sockets are long values
/// (-1 for none), time-outs unsigned milliseconds (0xFFFFFFFF: no limit),
/// and a failure leaves its code in the last error (GetLastError). Nothing
/// here takes a lock: one thread per handle; the error codes are
/// process-wide.
#ifndef KQSER_SOCKETHANDLE_H
#define KQSER_SOCKETHANDLE_H

#include <netinet/in.h>
#include <sys/socket.h>

#include "KqApi.h"

/// An IPv4 socket address; exactly the 16 bytes of sockaddr_in.
class KQ_API SockAddrIn : public sockaddr_in {
public:
    /// All 16 bytes zero.
    SockAddrIn();
    /// A byte copy of @p other.
    SockAddrIn(const SockAddrIn& other);
    ~SockAddrIn();

    /// A byte copy of @p other.
    SockAddrIn& operator=(const SockAddrIn& other) {
        if (this != &other) {
            Copy(other);
        }
        return *this;
    }

    /// Sets all 16 bytes to zero.
    void Clear();
    /// Copies the 16 bytes of @p other; returns this address.
    SockAddrIn& Copy(const SockAddrIn& other);
    /// Compares family, port and address; the zero padding is ignored.
    bool IsEqual(const SockAddrIn& other) const;
    /// True when address and port are both 0 (the family is not looked at).
    bool IsNull() const;
    /// 16, the size to pass with the address to the socket calls.
    int Size() const;
    /// The address itself, as the socket calls take it.
    operator sockaddr*();

    /// Builds the address from text: @p host is a dotted address or a name
    /// (null or empty: the local host; a name is looked up with the
    /// resolver, and one it cannot resolve gives 255.255.255.255); @p service
    /// is a port number (cut to 16 bits) or a service name (0 when unknown)
    /// and must not be null. False when address and port are both 0.
    bool CreateFrom(const char* host, const char* service, int family);
    /// Builds the address from numbers, in host byte order when @p hostOrder
    /// is true, else taken as they are. False when both are 0.
    bool CreateFrom(unsigned long addr, unsigned short port, int family, bool hostOrder);
};

/// One IPv4 socket. The destructor closes it (Close).
class KQ_API CSocketHandle {
public:
    /// A handle with no socket.
    CSocketHandle();
    ~CSocketHandle();

    /// True while the handle holds a socket.
    bool IsOpen() const;
    /// The socket, or -1.
    long GetSocket() const;
    /// SOCK_STREAM (1) or SOCK_DGRAM (2); -1 without a socket or on failure.
    int GetSocketType() const;
    /// Takes over @p socket when the handle holds none; false otherwise.
    bool Attach(long socket);
    /// Hands the socket back (still open) and holds none; -1 when empty.
    long Detach();
    /// The local address of the socket; false without a socket or on failure.
    bool GetSockName(SockAddrIn& addr) const;
    /// The peer's address of a connected socket; false without one.
    bool GetPeerName(SockAddrIn& addr) const;
    /// Shuts the socket down in both directions and closes it, if there is one.
    void Close();

    /// Joins multicast @p group on interface address @p iface (datagram
    /// sockets only; time-to-live 5).
    bool AddMembership(const char* group, const char* iface);
    /// Leaves the group again.
    bool DropMembership(const char* group, const char* iface);
    /// A socket bound to @p localHost and @p service (null or empty host: the
    /// local host's address, not the wildcard; "0.0.0.0" is the wildcard),
    /// listening (backlog 128) when @p type is SOCK_STREAM. @p options is a
    /// mask: 2 sets SO_REUSEADDR, and 2 or 4 set SO_BROADCAST on a datagram
    /// socket. False, with code 5, when the handle holds a socket already.
    bool CreateSocket(const char* localHost, const char* service, int family, int type,
                      unsigned int options);
    /// A client connection to @p remoteHost and @p service (a blocking
    /// connect), with a 3 s receive time-out. False, with code 5, when the
    /// handle holds a socket already.
    bool ConnectTo(const char* localHost, const char* remoteHost, const char* service, int family,
                   int type);
    /// Receives up to @p size bytes (with the sender's address into @p from
    /// when not null), waiting at most @p timeoutMs ms; 0 or 0xFFFFFFFF wait
    /// without limit. The count; 0 on time-out; -1 on failure, also when the
    /// peer ended the stream (the pending socket error is then 104). Prints
    /// diagnostic lines on standard output.
    int Read(unsigned char* buf, unsigned long size, sockaddr* from, unsigned long timeoutMs);
    /// Sends @p size bytes with one call (to @p to when not null) once the
    /// socket is writable within @p timeoutMs ms (0: only if writable now;
    /// 0xFFFFFFFF: no wait). The count (may be partial); 0 on time-out; -1 on
    /// failure.
    int Write(unsigned char* buf, unsigned long size, sockaddr* to, unsigned long timeoutMs);

    /// Nothing to initialise on this platform: true.
    static bool InitLibrary(unsigned short version);
    /// True.
    static bool ReleaseLibrary();
    /// Accepts a connection on listening @p socket: the new socket, or -1.
    static long WaitForConnection(long socket);
    /// Shuts @p socket down and closes it; true when the close succeeded.
    static bool ShutdownConnection(long socket);
    /// @p addr in network byte order has a first octet from 1 to 223.
    static bool IsUnicastIP(unsigned long addr);
    /// @p addr in network byte order has a first octet from 224 to 239.
    static bool IsMulticastIP(unsigned long addr);
    /// Dotted text of @p addr into @p buf, cut to @p size; false for a null
    /// buffer.
    static bool FormatIP(char* buf, unsigned int size, unsigned long addr, bool hostOrder);
    /// A port number (text starting with a digit, cut to 16 bits) or the port
    /// of a service name, in host byte order; 0 when unknown.
    static unsigned short GetPortNumber(const char* service);
    /// The address of a dotted text or a name, in host byte order; null or
    /// empty is the local host. A name is looked up with the resolver: give
    /// only names the device can answer. 0xFFFFFFFF when it cannot.
    static unsigned long GetIPAddress(const char* host);
    /// The local host's name; false with code 1000 when it does not fit
    /// with its terminator, 1001 for a null buffer or size 0.
    static bool GetLocalName(char* buf, unsigned int size);
    /// The local host's address as dotted text; the same codes.
    static bool GetLocalAddress(char* buf, unsigned int size);

    CSocketHandle(const CSocketHandle&) = delete;
    CSocketHandle& operator=(const CSocketHandle&) = delete;

protected:
    long m_hSocket;  ///< The socket, -1 for none.
};

// Windows-named shims over POSIX. The last error and the pending socket error
// are process-wide.
/// @name Windows-named shims
/// The last error and the pending socket error are process-wide, shared by
/// all threads.
///@{

/// The last error (SetLastError, GetLastError).
extern KQ_API int _lastError;
/// The pending socket error, 0 for none.
extern KQ_API int _lastWSA;

/// Stores the last error.
KQ_API void SetLastError(int code);
/// The last error.
KQ_API int GetLastError();
/// Sets the pending socket error; returns @p code.
KQ_API int WSASetLastError(int code);
/// The pending socket error once (then cleared), else errno.
KQ_API int WSAGetLastError();
/// Copies at most @p size - 1 characters and a terminator; 0. @p size >= 1.
KQ_API int StringCbCopyA(char* dst, int size, const char* src);
/// The length of @p s into @p len (@p max is not used); 0.
KQ_API int StringCbLengthA(const char* s, int max, unsigned int* len);
/// snprintf, always terminated; 0 even when cut. @p size >= 1.
KQ_API int StringCbPrintfA(char* buf, int size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
/// Stores @p value, returns the old one: a plain read then write, not atomic.
KQ_API long InterlockedExchange(long* target, long value);
/// close(); 0 or -1.
KQ_API int closesocket(long socket);
///@}

#endif
