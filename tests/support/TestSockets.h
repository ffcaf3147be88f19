#pragma once
// The few raw socket calls the tests' own peers need (listening, accepting, lingering closes),
// which the client under test never makes. One implementation per platform.

#include <cstddef>
#include <cstdint>

namespace testsock {

using Socket = std::intptr_t;
constexpr Socket Invalid = -1;

void Startup();                                   // starts the socket library where one is needed
Socket ListenLoopback(int& port);                 // 127.0.0.1, port 0: the port chosen comes back
Socket Accept(Socket listener);                   // Invalid when the listener was closed
long Recv(Socket s, void* buffer, std::size_t n); // bytes, 0 at the peer's close, -1 on error
long Send(Socket s, const void* buffer, std::size_t n);
void ShutdownSend(Socket s);
void Close(Socket s);
void Reset(Socket s); // close with SO_LINGER 0: the peer sees a reset
bool WaitReadable(Socket s, int ms);
Socket ConnectLoopback(int port); // a plain client socket, for measuring against
void SetReceiveBuffer(Socket s, int bytes);

// How many descriptors the process has open, or -1 where that cannot be seen.
int OpenDescriptorCount();

} // namespace testsock
