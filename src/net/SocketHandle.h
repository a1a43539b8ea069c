// IPv4 socket handle for host code, with Windows-Sockets conventions:
// sockets are long values (-1 for none), time-outs are unsigned milliseconds
// (0xFFFFFFFF for no limit), failure codes go to the last error.
#ifndef KQSER_SOCKETHANDLE_H
#define KQSER_SOCKETHANDLE_H

#include <netinet/in.h>
#include <sys/socket.h>

#include "KqApi.h"

// An IPv4 socket address; exactly the 16 bytes of sockaddr_in.
class KQ_API SockAddrIn : public sockaddr_in {
public:
    SockAddrIn();
    SockAddrIn(const SockAddrIn& other);
    ~SockAddrIn();

    SockAddrIn& operator=(const SockAddrIn& other) {
        if (this != &other) {
            Copy(other);
        }
        return *this;
    }

    void Clear();
    SockAddrIn& Copy(const SockAddrIn& other);
    // Compares family, port and address; the zero padding is ignored.
    bool IsEqual(const SockAddrIn& other) const;
    // True when address and port are both 0.
    bool IsNull() const;
    int Size() const;
    operator sockaddr*();

    // host: dotted address or name (null or empty: the local host);
    // service: port number or service name. False when the result IsNull().
    bool CreateFrom(const char* host, const char* service, int family);
    bool CreateFrom(unsigned long addr, unsigned short port, int family, bool hostOrder);
};

class KQ_API CSocketHandle {
public:
    CSocketHandle();
    ~CSocketHandle();

    bool IsOpen() const;
    long GetSocket() const;
    int GetSocketType() const;
    bool Attach(long socket);
    long Detach();
    bool GetSockName(SockAddrIn& addr) const;
    bool GetPeerName(SockAddrIn& addr) const;
    void Close();

    bool AddMembership(const char* group, const char* iface);
    bool DropMembership(const char* group, const char* iface);
    bool CreateSocket(const char* localHost, const char* service, int family, int type,
                      unsigned int options);
    bool ConnectTo(const char* localHost, const char* remoteHost, const char* service, int family,
                   int type);
    int Read(unsigned char* buf, unsigned long size, sockaddr* from, unsigned long timeoutMs);
    int Write(unsigned char* buf, unsigned long size, sockaddr* to, unsigned long timeoutMs);

    static bool InitLibrary(unsigned short version);
    static bool ReleaseLibrary();
    static long WaitForConnection(long socket);
    static bool ShutdownConnection(long socket);
    static bool IsUnicastIP(unsigned long addr);
    static bool IsMulticastIP(unsigned long addr);
    static bool FormatIP(char* buf, unsigned int size, unsigned long addr, bool hostOrder);
    static unsigned short GetPortNumber(const char* service);
    static unsigned long GetIPAddress(const char* host);
    static bool GetLocalName(char* buf, unsigned int size);
    static bool GetLocalAddress(char* buf, unsigned int size);

    CSocketHandle(const CSocketHandle&) = delete;
    CSocketHandle& operator=(const CSocketHandle&) = delete;

protected:
    long m_hSocket;
};

// Windows-named shims over POSIX. The last error and the pending socket error
// are process-wide.
extern KQ_API int _lastError;
extern KQ_API int _lastWSA;

KQ_API void SetLastError(int code);
KQ_API int GetLastError();
KQ_API int WSASetLastError(int code);
// The pending socket error once (then cleared), else errno.
KQ_API int WSAGetLastError();
KQ_API int StringCbCopyA(char* dst, int size, const char* src);
KQ_API int StringCbLengthA(const char* s, int max, unsigned int* len);
KQ_API int StringCbPrintfA(char* buf, int size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
// A plain read then write: not atomic.
KQ_API long InterlockedExchange(long* target, long value);
KQ_API int closesocket(long socket);

#endif
