// The IPv6 datagram socket that one interface or route operation opens for
// its own requests; closed when the holder goes out of scope, on every path.
#pragma once

class cControlSocket {
public:
    // Opens the socket; isOpen() tells whether that worked (errno is then
    // left as socket() set it).
    cControlSocket();
    ~cControlSocket();

    cControlSocket(const cControlSocket&) = delete;
    cControlSocket& operator=(const cControlSocket&) = delete;

    bool isOpen() const { return mFd >= 0; }
    int fd() const { return mFd; }

private:
    int mFd;
};
