#pragma once
// Winsock for one user at a time, and the owner of one socket.

#include <winsock2.h>

namespace velk {

// Winsock counts its users: each holder starts it and releases it again.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    ok_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockSession() {
    if (ok_) ::WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

class UniqueSocket {
 public:
  explicit UniqueSocket(SOCKET s) : s_(s) {}
  ~UniqueSocket() {
    if (s_ != INVALID_SOCKET) ::closesocket(s_);
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  SOCKET get() const { return s_; }

 private:
  SOCKET s_;
};

}  // namespace velk
