#pragma once
// Plain blocking socket clients for tests of the image server (loopback only).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A TCP port nobody listens on right now (bound once on every interface and let go), 0 when
// none can be had.
unsigned FreePort();
// A connected socket to host:port (an IPv4 or IPv6 literal), or -1; from the local IPv4
// address pszFrom when one is given (127.0.0.2 is another client than 127.0.0.1).
int ConnectTo(const char* pszHost, unsigned nPort, int nReceiveBuffer = 0,
              const char* pszFrom = nullptr);
bool SendAll(int fd, const void* p, std::size_t n);
struct CReadResult
{
    std::vector<std::uint8_t> bytes;
    bool bEof = false;   // the stream ended cleanly
    bool bReset = false; // the connection was reset
    bool bTimedOut = false;
};
// Reads until the end of the stream, a reset or the timeout.
CReadResult ReadAll(int fd, int nTimeoutMs);
// Reads nChunk bytes at a time with a pause after each, until the end or a reset.
CReadResult ReadSlowly(int fd, std::size_t nChunk, int nPauseMs);
// Waits, reading nothing, until the server ends the connection (a close or a reset); false
// when it has not within the timeout.
bool WaitUntilPeerCloses(int fd, int nTimeoutMs);
// Processes Qt events until done() or the timeout; returns done().
bool PumpUntil(const std::function<bool()>& done, int nTimeoutMs);
// Fetches one response on another thread while this one keeps processing events (and so
// keeps serving): the bytes up to the end of the stream; pConnected tells whether it got in.
std::vector<std::uint8_t> FetchWhilePumping(const char* pszHost, unsigned nPort,
                                            bool* pConnected = nullptr);
